// Which bytes the console expects for the texts' non-ASCII letters.
#pragma once

// True when the terminal's character set is UTF-8 (the user's locale says so),
// false when it takes the code page 850 bytes as they are. Sets the program's
// character-type locale from the environment.
bool ConsoleWantsUtf8();
