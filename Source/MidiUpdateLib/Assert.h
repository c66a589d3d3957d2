#pragma once

// Programming-error checks. A failed check writes the condition, the function, the file and the
// line to standard error and stops the program; no input to the library can make one fail.
[[noreturn]] void AssertionFailed(const char* condition, const char* function, const char* file, int line);

// Checks the condition and names it as written.
#define MIDIUPDATER_ASSERT(condition)                                                                        \
    ((condition) ? static_cast<void>(0) : AssertionFailed(#condition, __func__, __FILE__, __LINE__))

// Checks a condition that the code has to test in another form (for example without forming an
// out-of-range pointer), and names it by the given text.
#define MIDIUPDATER_ASSERT_AS(condition, text)                                                               \
    ((condition) ? static_cast<void>(0) : AssertionFailed(text, __func__, __FILE__, __LINE__))
