// Questions answered from the configuration settings: a variable as one
// option string, as a list of names, and the dump of every slot.
#include "i18n/driver_texts.h"
#include "ryn/rc_data.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "driver/ryn_util/temp_file.h"
#include "driver/ryn_util/unique_fd.h"
#include "ryn/arg_cache.h"
#include "ryn/exec_util.h"

namespace ryn {

namespace {

constexpr const char* k_rc_temp_dir = "/tmp";
constexpr const char* k_rc_temp_prefix = "ryn";

int find_name(const char* name) {
    if (!name) {
        return -1;
    }
    for (int i = 0; i < rcData::k_nvars; ++i) {
        if (strcmp(name, rcData::names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

void append_items(std::string_view value, ArgCache* list) {
    while (!value.empty()) {
        const size_t colon = value.find(':');
        const std::string_view item = value.substr(0, colon);
        if (!item.empty()) {
            list->add_arg(std::string(item));
        }
        if (colon == std::string_view::npos) {
            break;
        }
        value.remove_prefix(colon + 1);
    }
}

}  // namespace

std::optional<std::string> rcData::optString(const char* prefix, const char* name, bool to_file) {
    const int index = find_name(name);
    if (!any_file_read || !prefix || index < 0) {
        return std::nullopt;
    }
    const std::optional<std::string>& front = values[index];
    const std::optional<std::string>& common = values[k_nvars + index];
    if (!front && !common) {
        return std::nullopt;
    }

    // COMMON items come first; one ':' joins the two parts unless the text
    // so far (prefix included) or the front-end value already supplies it.
    std::string result = prefix;
    if (common) {
        result += *common;
    }
    if (front) {
        if (common && (result.empty() || result.back() != ':') && !front->empty() &&
            front->front() != ':') {
            result += ':';
        }
        result += *front;
    }
    if (!to_file) {
        return result;
    }
    const std::string_view joined = std::string_view(result).substr(strlen(prefix));

    const ryn::TempFile file = ryn::create_temp_file(k_rc_temp_dir, k_rc_temp_prefix);
    if (!file.fd.valid()) {
        util->fatal(errno, "%s", driver_text(DriverText::CANNOT_OPEN_RC_TEMP));
    }
    util->temp_files.add_arg(file.path);
    ryn::write_all(file.fd.get(), joined);
    return std::string(prefix) + file.path;
}

bool rcData::library_list(const char* name, ArgCache* list) {
    const int index = find_name(name);
    if (!any_file_read || index < 0) {
        return false;
    }
    // Front-end items first, then the COMMON ones.
    for (const int slot : {index, k_nvars + index}) {
        if (values[slot]) {
            append_items(*values[slot], list);
        }
    }
    return true;
}

void rcData::dump() const {
    for (int slot = 0; slot < 2 * k_nvars; ++slot) {
        char label[128];
        snprintf(label, sizeof label, "%s%s: ", slot < k_nvars ? "DRIVER_" : "COMMON_",
                 names[slot % k_nvars]);
        if (!values[slot]) {
            fprintf(stderr, "%s No data.\n", label);
        } else {
            fprintf(stderr, "%s %s\n", label, values[slot]->c_str());
        }
    }
}

}  // namespace ryn
