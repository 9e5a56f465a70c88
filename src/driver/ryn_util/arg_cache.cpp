#include "ryn/arg_cache.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "driver/ryn_util/signals_blocked.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

constexpr const char k_comment_option[] = "-comment=";
constexpr size_t k_comment_option_len = sizeof(k_comment_option) - 1;

}  // namespace

ArgCache::~ArgCache() { release(); }

ArgCache::ArgCache(ArgCache&& other) noexcept
    : args(std::exchange(other.args, nullptr)),
      count(std::exchange(other.count, 0)),
      capacity(std::exchange(other.capacity, 0)) {}

ArgCache& ArgCache::operator=(ArgCache&& other) noexcept {
    if (this != &other) {
        release();
        args = std::exchange(other.args, nullptr);
        count = std::exchange(other.count, 0);
        capacity = std::exchange(other.capacity, 0);
    }
    return *this;
}

void ArgCache::release() noexcept {
    for (int64_t i = 0; i < count; ++i) {
        free(args[i]);
    }
    free(args);
    args = nullptr;
    count = 0;
    capacity = 0;
}

void ArgCache::add_arg(const char* s) {
    if (capacity < count + 2) {
        const int64_t grown = 2 * count + 4;
        // A signal handler may walk this list (temporary files, locks) while
        // the array moves; it must see either the old array or the new one.
        const ryn::SignalsBlocked blocked;
        auto* bigger = static_cast<char**>(realloc(args, grown * sizeof(char*)));
        if (!bigger) {
            _util->fatal(1, "%s", get_msg(RYN_RAN_OUT_OF_MEMORY));
        }
        args = bigger;
        capacity = grown;
    }
    char* copy = strdup(s);
    if (!copy) {
        _util->fatal(1, "%s", get_msg(RYN_RAN_OUT_OF_MEMORY));
    }
    args[count++] = copy;
    args[count] = nullptr;
}

void ArgCache::add_argslist(const ArgCache* other) {
    for (int64_t i = 0; i < other->count; ++i) {
        add_arg(other->args[i]);
    }
}

const char* ArgCache::search_arg(const char* s) const {
    if (!s) {
        return nullptr;
    }
    for (int64_t i = 0; i < count; ++i) {
        if (strcmp(args[i], s) == 0) {
            return args[i];
        }
    }
    return nullptr;
}

void ArgCache::print(FILE* stream, bool quote_comment) const {
    for (int64_t i = 0; i < count; ++i) {
        const char* comment = quote_comment ? strstr(args[i], k_comment_option) : nullptr;
        if (comment) {
            fprintf(stream, "%s\"%s\" ", k_comment_option, comment + k_comment_option_len);
        } else {
            fprintf(stream, "%s ", args[i]);
        }
    }
    fprintf(stream, "\n");
}

std::string ArgCache::sprint() const {
    std::string line;
    for (int64_t i = 0; i < count; ++i) {
        const char* arg = args[i];
        if (strncmp(arg, k_comment_option, k_comment_option_len) == 0) {
            line += k_comment_option;
            line += '"';
            line += arg + k_comment_option_len;
            line += "\" ";
        } else {
            line += arg;
        }
        if (i + 1 < count) {
            line += ' ';
        }
    }
    return line;
}

std::string ArgCache::command_with_unset_ldaudit() const { return "unset LD_AUDIT; " + sprint(); }

}  // namespace ryn
