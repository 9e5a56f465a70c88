// A program's answer to a question (its version line, say) remembered in the
// cache while the files that shape it stay unchanged, so that a warm run
// need not start the program to ask again. The files' identities key the
// record; a file changed since, or too recently to be told apart from a
// change, makes the record useless and only costs asking again.
#pragma once

#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/ryn_cache/content_identity.h"

namespace ryn {

class RememberedAnswer {
public:
    // `question` tells apart answers kept in one record file (the mode a
    // version is asked in); `files` are the paths whose content decides the
    // answer.
    RememberedAnswer(std::string record_path, std::string question, std::vector<std::string> files);

    // The answer recorded for the files as they are now. Looks at the files
    // once; call it before asking.
    std::optional<std::string> recall();

    // Records `answer` for the files as recall() found them, when all were
    // safely older than that moment. A one-line answer only; failures are
    // silent.
    void remember(const std::string& answer) const;

private:
    // The files' identities now; nothing when one cannot be looked at.
    std::optional<std::vector<FileIdentity>> identities_now() const;

    std::string record_path_;
    std::string question_;
    std::vector<std::string> files_;
    timespec started_{};
    std::optional<std::vector<FileIdentity>> seen_;  // as recall() found them
    std::optional<std::string> key_;                 // the record's text up to the answer
};

// The text of a record for `key` and `answer`.
std::string remembered_answer_text(const std::string& key, const std::string& answer);

}  // namespace ryn
