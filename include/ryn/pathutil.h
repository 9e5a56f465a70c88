// Path canonicalisation and self-location, exported with unmangled names.
// Results live in static storage; the functions are not reentrant.
#pragma once

#pragma GCC visibility push(default)
extern "C" {
char* canonicalizePath(const char* source, char* destination);
void canonicalizeReset(void);
char* canonicalizePathEx(const char* path, char* buffer);
const char* getBasename(const char* path);
char* getDirname(const char* path);

const char* fyuFindExecDir(const char* invocation_name, const char* working_dir);
const char* fyuGetExecDir(void);
const char* fyuGetCmdName(void);
const char* fyuGetWorkingDir(void);
void fyuSaveWorkingDir(const char* path);
int fyuChdir(const char* path);
int fyuIscwd(const char* path);
}
#pragma GCC visibility pop
