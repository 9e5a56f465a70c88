// Catalog lookup of the message table and the NLSPATH set-up that lets the
// catalog be found beside the installation.
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "i18n/message_table.h"
#include "ryn/i18n.h"

using ryn::I18N_msg;
using ryn::I18nMessage;

namespace {

const nl_catd k_no_catalog = reinterpret_cast<nl_catd>(-1);
constexpr const char k_catalog_name[] = "QVEN_DEVK_XC_morphel";
constexpr const char k_catalog_tail[] = "/../lib/locale/%L/LC_MESSAGES/%N.cat";
constexpr const char k_catalog_tail_up[] = "/../../lib/locale/%L/LC_MESSAGES/%N.cat";

nl_catd i18n_catd = k_no_catalog;

// The "NLSPATH=..." assignment handed to putenv. A value too long for the
// static buffer lives in an exact-size heap buffer; whichever one the
// environment points at must stay valid until another value replaces it.
char nlspath_static[1024];
char* nlspath_heap = nullptr;

// The value NLSPATH had before the last change; absent when it was unset.
// Kept as a copy because that value may have been our own buffer.
std::optional<std::string> nlspath_previous;

int put_nlspath(const std::string& assignment) {
    char* old_heap = nlspath_heap;
    char* storage;
    if (assignment.size() < sizeof nlspath_static) {
        storage = nlspath_static;
        nlspath_heap = nullptr;
    } else {
        storage = static_cast<char*>(malloc(assignment.size() + 1));
        if (!storage) {
            return -1;
        }
        nlspath_heap = storage;
    }
    memcpy(storage, assignment.c_str(), assignment.size() + 1);
    if (putenv(storage) != 0) {
        // The environment still points at the old value.
        if (storage != nlspath_static) {
            free(storage);
        }
        nlspath_heap = old_heap;
        return -1;
    }
    // Only now does the environment no longer point at the old heap value.
    free(old_heap);
    return 0;
}

std::optional<std::string> copy_of(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

void open_catalog() {
    if (i18n_catd != k_no_catalog) {
        catclose(i18n_catd);
        i18n_catd = k_no_catalog;
    }
    const std::optional<std::string> saved = copy_of(setlocale(LC_ALL, nullptr));
    const std::optional<std::string> from_environment = copy_of(setlocale(LC_ALL, ""));
    i18n_catd = catopen(k_catalog_name, NL_CAT_LOCALE);
    if (saved) {
        setlocale(LC_ALL, saved->c_str());
    } else if (from_environment) {
        setlocale(LC_ALL, "C");
    }
}

}  // namespace

extern "C" const char* get_msg(int index) {
    const I18nMessage& row = I18N_msg[index];
    if (i18n_catd == k_no_catalog) {
        return row.text;
    }
    return catgets(i18n_catd, row.set, row.number, row.text);
}

extern "C" const char* get_msg_tag(int index) { return I18N_msg[index].tag; }

extern "C" const char* get_help_tag(int index) { return I18N_msg[index].help_tag; }

extern "C" int get_msg_severity(int index) { return I18N_msg[index].severity; }

// A miss answers 0, like a match of row 0: callers cannot tell them apart.
extern "C" int find_msg_enum(const char* name, int kind) {
    if (!name || (kind != 1 && kind != 2)) {
        return 0;
    }
    for (int i = 0; i < I18N_MSG_COUNT; ++i) {
        const char* field = kind == 1 ? I18N_msg[i].tag : I18N_msg[i].help_tag;
        if (field && strcmp(field, name) == 0) {
            return i;
        }
    }
    return 0;
}

extern "C" int i18n_setnlspath(const char* dir) {
    if (!dir) {
        return -1;
    }
    nlspath_previous = copy_of(getenv("NLSPATH"));
    std::string assignment = "NLSPATH=";
    if (nlspath_previous) {
        assignment += *nlspath_previous;
        assignment += ':';
    }
    assignment += dir;
    assignment += k_catalog_tail;
    assignment += ':';
    assignment += dir;
    assignment += k_catalog_tail_up;
    return put_nlspath(assignment);
}

extern "C" void i18n_init(const char* dir) {
    if (dir) {
        i18n_setnlspath(dir);
    }
    open_catalog();
}

extern "C" void i18n_fini(void) {
    if (i18n_catd != k_no_catalog) {
        catclose(i18n_catd);
    }
    i18n_catd = k_no_catalog;
    put_nlspath("NLSPATH=" + nlspath_previous.value_or(""));
}

extern "C" nl_catd get_catd(void) { return i18n_catd; }
