// The program's entry routine, with the arguments as UTF-16 strings.
#pragma once

// The wide entry routine: start-up, the run, the tear-down. Returns 0.
int relay_main(int argc, char16_t** argv);

// Converts the UTF-8 arguments of main to UTF-16 and runs relay_main.
int relay_main_utf8(int argc, char** argv);

// Runs relay_main on arguments that are UTF-16 already (wmain on Windows).
int relay_main_wide(int argc, char16_t** argv);
