// The escaping that --json and --csv share: what is not well-formed UTF-8
// becomes <XX> with the byte's hex value, and `<` itself <3C>, so that every
// byte can be recovered from the text.
#pragma once

#include <cstddef>

#include "dump/output.h"

// Writes `text` for a JSON string or a CSV field, escaped as above; JSON
// also escapes `"`, `\` and the control characters, CSV doubles `"`.
void PutEscaped(Output* out, const char* text, size_t length, bool json);
// `text` as a JSON string, quotes included.
void PutJsonString(Output* out, const char* text, size_t length);
// `text` as a CSV field, quoted when it holds a quote, a comma or a line
// break.
void PutCsvField(Output* out, const char* text, size_t length);
// `text` as it is, up to its NUL.
void PutText(Output* out, const char* text);
