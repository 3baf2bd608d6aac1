// The text encodings a settings file may come in, and the conversions the INI
// store applies between the bytes on disk and the bytes of its document.
// A file saved as UTF-16 LE with a byte order mark (Notepad's "Unicode") is
// decoded to UTF-8 for the document and encoded back when it is saved. Where
// the program's strings are UTF-8 (IniFileStore's utf8Values), each value is
// taken on its own: valid UTF-8 as it is, anything else as Windows-1252.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "settings/ini_document.h"

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view s);
// Appends s, read as Windows-1252, as UTF-8.
void AppendWindows1252AsUtf8(std::string_view s, std::string* out);

// Turns the bytes of a file into the document's bytes: a file that starts
// with the UTF-16 LE byte order mark is decoded to UTF-8 (an unpaired
// surrogate or an odd last byte reads as U+FFFD) and true is returned; any
// other text is left as it is. May throw std::bad_alloc.
bool DecodeIniText(std::string* text);
// The other way: the document's bytes as a UTF-16 LE file with its byte order
// mark (bytes that are not UTF-8 are taken as Windows-1252). May throw.
void EncodeIniTextAsUtf16(std::string* text);

// IniGetString for a program whose strings are UTF-8 when utf8Values is set:
// a value that is not UTF-8 is read as Windows-1252, and the cut to size - 1
// bytes falls on a character's boundary. Otherwise exactly IniGetString.
void IniGetText(const IniDocument& doc, const char* section, const char* key,
                const char* defaultValue, char* buffer, size_t size, bool utf8Values);
