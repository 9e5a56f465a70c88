// Remembered answers: the record's text, its checks and when it may be kept.
#include "driver/ryn_cache/remembered_answer.h"

#include <sys/stat.h>

#include <utility>

namespace ryn {

namespace {

constexpr const char* k_answer_tag = "ryn-answer 1\n";

}  // namespace

std::string remembered_answer_text(const std::string& key, const std::string& answer) {
    // The check covers key and answer: a damaged answer is never trusted.
    const std::string body = key + answer + "\n";
    return body + record_check(body) + "\n";
}

RememberedAnswer::RememberedAnswer(std::string record_path, std::string question,
                                   std::vector<std::string> files)
    : record_path_(std::move(record_path)),
      question_(std::move(question)),
      files_(std::move(files)) {}

std::optional<std::vector<FileIdentity>> RememberedAnswer::identities_now() const {
    std::vector<FileIdentity> ids;
    for (const std::string& file : files_) {
        struct stat st {};
        // A name without a slash is a command the shell would search for,
        // not the file of that name here.
        if (file.find('/') == std::string::npos || file.find('\n') != std::string::npos ||
            stat(file.c_str(), &st) != 0) {
            return std::nullopt;
        }
        ids.push_back(identity_of(st));
    }
    return ids;
}

std::optional<std::string> RememberedAnswer::recall() {
    // Taken before the files are looked at: a change after this moment
    // moves their times past the margin remember() demands.
    clock_gettime(CLOCK_REALTIME, &started_);
    seen_ = identities_now();
    if (!seen_) {
        return std::nullopt;
    }
    key_ = std::string(k_answer_tag) + question_ + "\n";
    for (size_t i = 0; i < files_.size(); ++i) {
        *key_ += identity_text((*seen_)[i]) + " " + files_[i] + "\n";
    }
    const std::optional<std::string> record = read_identity_record(record_path_);
    if (!record || record->compare(0, key_->size(), *key_) != 0) {
        return std::nullopt;
    }
    const size_t end = record->find('\n', key_->size());
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::string answer = record->substr(key_->size(), end - key_->size());
    if (*record != remembered_answer_text(*key_, answer)) {
        return std::nullopt;
    }
    return answer;
}

void RememberedAnswer::remember(const std::string& answer) const {
    if (!seen_ || answer.find('\n') != std::string::npos) {
        return;
    }
    for (const FileIdentity& id : *seen_) {
        if (!safely_older(id, started_)) {
            return;
        }
    }
    // A file changed while the question was asked has another identity by
    // now, since its old times lie before the margin: the record, keyed by
    // the old one, can never match it.
    write_identity_record(record_path_, remembered_answer_text(*key_, answer));
}

}  // namespace ryn
