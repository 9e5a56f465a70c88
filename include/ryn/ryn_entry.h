// The driver's one entry and the globals it shares with the launcher: the
// interface of libryn_driver.so for the program that loads it.
#pragma once

#pragma GCC visibility push(default)
extern "C" {
// Buffer of the caller of ryn_main_entry; tell mode writes one line into it.
extern char* runtime_output;
extern int outbufsiz;
// Launcher symbols; the driver carries weak defaults.
extern const char* ver_string;
extern const char* short_usage;
extern const char* long_usage;
extern const char* ryn_ver_string;
extern const char* memvex_ver_string;

void ryn_main_entry(const char* front_end_name, char* output_buffer, int output_size, int argc,
                    char** argv, int lav_version);
}
#pragma GCC visibility pop
