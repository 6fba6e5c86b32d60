// The framed error message velcon shows for a failed transfer.
#pragma once

// Shows the error with its code and words, then waits for one character.
// Returns false when the input has ended instead.
bool ShowError(int code);
