// Reporting of runtime-library failures that carry no message of their own.
#pragma once

// Writes the library's last error text and a line end to standard error.
void reportLastError();

// A text the library returned, or "" for none: streaming a null pointer
// would silence the stream for the rest of the run.
inline const char* libraryText(const char* text) { return text != nullptr ? text : ""; }
