// Reporting of runtime-library failures that carry no message of their own.
#pragma once

// Writes the library's last error text and a line end to standard error.
void reportLastError();
