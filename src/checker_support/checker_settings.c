/* The checker's run settings, read from the records the main program's copy
 * carries. A program without them gets the defaults. */
#include "checker_support.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define DEFAULTS                                                                                              \
    {                                                                                                         \
        .tool = "checker", .stack_depth = 8, .error_limit = -1, .exit_status = -1, .fork_mode = CS_FORK_BOTH, \
    }

struct cs_settings cs_settings = DEFAULTS;

struct cs_settings cs_settings_defaults(void)
{
    struct cs_settings defaults = DEFAULTS;
    return defaults;
}

/* Report names are relative to the directory the program started in. */
static void resolve(char *out, size_t size, const char *name)
{
    if (name[0] == '/' || cs_settings.start_dir[0] == '\0') {
        ryn_strlcpy(out, name, size);
        return;
    }
    ryn_strlcpy(out, cs_settings.start_dir, size);
    if (strcmp(cs_settings.start_dir, "/") != 0)
        ryn_strlcat(out, "/", size);
    ryn_strlcat(out, name, size);
}

static void take_record(long record, const char *value, void *context)
{
    struct cs_settings *s = context;
    long number = strtol(value, NULL, 10);
    switch (record) {
    case 2: s->guard_count = (int)number; break;
    case 10: s->stack_depth = number < 1 ? 1 : number > CS_MAX_DEPTH ? CS_MAX_DEPTH : (int)number; break;
    case 12: s->error_limit = number < 0 ? -1 : number; break;
    case 14: s->exit_status = number < 0 ? -1 : (int)(number & 0xff); break;
    case 16: s->list_reachable = number != 0; break;
    case 17: resolve(s->text_report, sizeof s->text_report, value); break;
    case 18: s->fill_new = number != 0; break;
    case 20: s->compact = number != 0; break;
    case 22:
        if (number != 0)
            s->compact = 0;
        break;
    case 21:
        if (s->program[0] == '\0')
            ryn_strlcpy(s->program, value, sizeof s->program);
        break;
    case 23: resolve(s->html_report, sizeof s->html_report, value); break;
    case 27: ryn_strlcpy(s->disabled, value, sizeof s->disabled); break;
    case 29: resolve(s->analyzer_dir, sizeof s->analyzer_dir, value); break;
    case 33:
        s->fork_mode = strcmp(value, "parent") == 0  ? CS_FORK_PARENT
                       : strcmp(value, "child") == 0 ? CS_FORK_CHILD
                                                     : CS_FORK_BOTH;
        break;
    default: break;
    }
}

void cs_parse_settings(const char *text, size_t size)
{
    char value[PATH_MAX];
    if (ryn_setting(text, size, "original", value, sizeof value))
        ryn_strlcpy(cs_settings.program, value, sizeof cs_settings.program);
    if (ryn_setting(text, size, "checker", value, sizeof value))
        cs_settings.checker_full = strcmp(value, "full") == 0;
    if (ryn_setting(text, size, "checkfile", value, sizeof value))
        ryn_strlcpy(cs_settings.checkfile, value, sizeof cs_settings.checkfile);
    if (ryn_setting(text, size, "race", value, sizeof value))
        cs_settings.race = strcmp(value, "1") == 0;
    ryn_for_each_record(text, size, take_record, &cs_settings);
}

void cs_read_settings(const char *tool)
{
    cs_settings.tool = tool;
    if (getcwd(cs_settings.start_dir, sizeof cs_settings.start_dir) == NULL)
        cs_settings.start_dir[0] = '\0';
    const struct ryn_probe_header *table = ryn_find_main_table();
    if (table != NULL) {
        size_t size = 0;
        const char *text = ryn_table_settings(table, &size);
        cs_parse_settings(text, size);
    }
    if (cs_settings.program[0] == '\0') {
        ssize_t n = readlink("/proc/self/exe", cs_settings.program, sizeof cs_settings.program - 1);
        cs_settings.program[n > 0 ? n : 0] = '\0';
    }
    cs_text_start();
}

int cs_kind_disabled(const char *kind)
{
    size_t length = strlen(kind);
    for (const char *item = cs_settings.disabled; *item != '\0';) {
        const char *comma = strchr(item, ',');
        size_t item_length = comma ? (size_t)(comma - item) : strlen(item);
        while (item_length > 0 && *item == ' ') {
            ++item;
            --item_length;
        }
        while (item_length > 0 && item[item_length - 1] == ' ')
            --item_length;
        if (item_length == length && memcmp(item, kind, length) == 0)
            return 1;
        if (comma == NULL)
            break;
        item = comma + 1;
    }
    return 0;
}
