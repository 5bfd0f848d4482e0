// What differs between the systems for kavelo-dump.
#pragma once

// Makes standard output pass bytes as they are: no line-end translation on
// Windows, where the C runtime starts it in text mode.
void SetStdoutBinary();
