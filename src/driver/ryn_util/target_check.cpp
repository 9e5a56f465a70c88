// The one place that decides whether a file can be instrumented at all:
// writable when asked, not stripped, annotated when required, not already
// instrumented; signed files are instrumented with a warning.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "driver/ryn_util/elf_sections.h"
#include "driver/ryn_util/file_lock_guard.h"
#include "driver/ryn_util/unique_fd.h"
#include "i18n/driver_texts.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

// A target opened for reading, under a shared lock when it lies inside the
// lock directory. Everything is given back exactly once, and always before a
// report that ends the run.
class LockedTarget {
public:
    LockedTarget(ExecUtil& util, const char* path, const char* lock_dir)
        : util_(util), path_(path) {
        if (lock_dir != nullptr && strncmp(path, lock_dir, strlen(lock_dir)) == 0) {
            lock_.acquire(util_, path, true);
        }
        file_.emplace(path);
    }
    LockedTarget(const LockedTarget&) = delete;
    LockedTarget& operator=(const LockedTarget&) = delete;
    ~LockedTarget() { release(); }

    const ryn::ElfFile& file() const { return *file_; }

    // Ends the ELF descriptor, gives the lock back and closes the file;
    // returns what elf_end said the first time.
    int release() {
        int remaining = 0;
        if (file_) {
            remaining = file_->close();
            file_.reset();
        }
        lock_.release();
        return remaining;
    }

    bool has_section(const char* name) { return find(name) != nullptr; }

    Elf_Scn* find(const char* name) {
        const ryn::SectionSearch search = ryn::find_elf_section(file_->elf(), name, nullptr);
        if (search.failure != ryn::SectionSearch::Failure::none) {
            release();
            ryn::report_section_failure(util_, search, path_);
        }
        return search.section;
    }

    // Reports at `severity`; an error ends the run, so let go first.
    void report(MESSAGE_TYPE severity, const char* format) {
        if (severity == MSG_ERROR) {
            release();
        }
        util_.report_error(severity, 0, format, path_);
    }

    [[noreturn]] void fatal(int err, const char* format) {
        release();
        util_.fatal(err, format, path_);
    }

private:
    ExecUtil& util_;
    const char* path_;
    std::optional<ryn::ElfFile> file_;
    ryn::FileLockGuard lock_;
};

}  // namespace

bool ExecUtil::check_target(const char* path, const CheckOptions& options) {
    const char* lock_dir = options.lock_dir;
    const int level = std::max(options.level, very_verbose ? 1 : 0);
    const bool write_check = options.write_check;
    const bool skip_instr_check = options.skip_instr_check;
    const MESSAGE_TYPE severity = options.severity;
    const bool require_annotations = options.require_annotations;
    bool* previously_instrumented = options.previously_instrumented;
    bool* has_annotations = options.has_annotations;
    // Quiet checks only probe; an error must always say why the run ends.
    const bool talkative = level != 0 || severity == MSG_ERROR;

    // Only a regular file is opened: opening a FIFO would block, and reading
    // a device might never end. Such a file cannot be replaced either.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        if (talkative) {
            report_error(severity, 0, get_msg(write_check ? RYN_NO_WRITE : RYN_E_NOT_BINARY), path);
        }
        return false;
    }
    if (write_check) {
        const ryn::UniqueFd writable(open(path, O_WRONLY | O_NONBLOCK));
        if (!writable.valid()) {
            if (talkative) {
                report_error(severity, 0, get_msg(RYN_NO_WRITE), path);
            }
            return false;
        }
    }

    LockedTarget target(*this, path, lock_dir);
    if (target.file().not_regular()) {
        target.fatal(0, get_msg(RYN_E_NOT_BINARY));
    }
    if (!target.file().fd_valid()) {
        target.fatal(target.file().open_errno(), get_msg(MORPHEL_NO_FILE_ACCESS));
    }
    // libelf opens any file at all; one that is not ELF is refused here, with
    // the same message as one libelf could not open.
    if (!target.file().elf_valid() || elf_kind(target.file().elf()) != ELF_K_ELF) {
        target.fatal(target.file().open_errno(), get_msg(MORPHEL_BAD_ELF_FILE));
    }

    const bool usable = [&]() -> bool {
        if (!target.has_section(".symtab")) {
            if (talkative) {
                target.report(severity, driver_text(DriverText::STRIPPED_BINARY));
            }
            return false;
        }
        const bool annotated = target.has_section(".annotate");
        if (has_annotations != nullptr) {
            *has_annotations = annotated;
        }
        const bool signed_file = target.has_section(".QVEN_signature");
        if (!annotated) {
            if (require_annotations) {
                if (talkative) {
                    target.report(severity, get_msg(NO_ANNOTATIONS));
                }
                return false;
            }
            if (signed_file && talkative) {
                target.report(severity, get_msg(RYN_W_SIGNATURE));
            }
        } else if (level == 0) {
            if (signed_file && severity == MSG_ERROR) {
                target.report(MSG_ERROR, get_msg(RYN_W_SIGNATURE));
            }
        } else {
            target.report(MSG_INFO, driver_text(DriverText::PREPARED_BINARY));
            if (signed_file) {
                target.report(severity, get_msg(RYN_W_SIGNATURE));
            }
        }

        if (skip_instr_check) {
            return true;
        }
        std::vector<char> comment;
        if (Elf_Scn* section = target.find(".comment")) {
            comment = ryn::section_bytes(section);
        }
        const std::unique_ptr<ArgCache> records = ryn::instrumentation_records(comment);
        if (records->empty()) {
            return true;
        }
        if (previously_instrumented != nullptr) {
            *previously_instrumented = true;
        } else if (talkative) {
            target.report(severity, get_msg(component == "zentor" ? ZENTOR_PREVIOUSLY_INSTRUMENTED
                                                                  : RYN_PREVIOUSLY_INSTRUMENTED));
            if (level >= 2 || very_verbose) {
                for (int64_t i = records->count; i-- > 0;) {
                    fprintf(stderr, "%s\n", (*records)[i]);
                }
            }
        }
        return false;
    }();

    if (target.release() != 0) {
        fatal(0, "%s", driver_text(DriverText::ELF_STILL_OPEN));
    }
    return usable;
}

}  // namespace ryn
