#include "ryn/exec_util.h"
#include "ryn/ryn_cache.h"
#include "ryn/ryn_driver.h"
#include "ryn/ryn_exec_util.h"
#include "ryn/rc_data.h"
#include "driver/placeholder.h"

bool ExecUtil::is_shared_object(const char*, bool) { RYN_PLACEHOLDER(); }

Elf_Scn* ExecUtil::get_elf_section(Elf*, const char*, const char*, int*) { RYN_PLACEHOLDER(); }

int ExecUtil::extract_section_from_elf(const char*, const char*, std::vector<char>*, int*) { RYN_PLACEHOLDER(); }

bool ExecUtil::is_64_bit_binary(const char*) { RYN_PLACEHOLDER(); }

std::unique_ptr<ArgCache> ExecUtil::ryn_comments(const char*) { RYN_PLACEHOLDER(); }

