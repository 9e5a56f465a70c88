// Checks of the files an engine run is given, made before anything is
// written.
#pragma once

#include <string>

#include "engine_request.h"

namespace morphel {

// The input must be a readable ELF file.
void check_elf_input(const std::string& path);

// Every path named by an option must exist, and a run-information file must
// hold well-formed records.
void check_named_files(const EngineRequest& request);

// Each line is a known record number, one blank and a value.
void check_ryninfo_file(const std::string& path);

}  // namespace morphel
