// The console texts are bytes of code page 850. A terminal that expects UTF-8
// gets the few non-ASCII letters they use translated; every other byte passes
// unchanged.
#pragma once

#include <string>
#include <string_view>

// Returns text with each CP850 letter of the table as UTF-8. Bytes below 0x80
// and bytes the table does not hold are copied as they are.
std::string Cp850ToUtf8(std::string_view text);
