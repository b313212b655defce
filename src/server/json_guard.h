#pragma once

#include <QtGlobal>

// Qt 5.15's JSON parser leaks the value a repeated key replaces (an object,
// an array or a string), and any client can send text before it has
// authenticated. So a message is looked at before it is parsed: text in
// which one object names the same key twice, or that nests deeper than the
// parser accepts (1024 levels), is dropped as invalid JSON is. Whether the
// rest is valid JSON is left to the parser.
//
// Keys are compared as the parser decodes them: "\u0061" and "a" are the
// same key. Objects of up to 16 keys are checked as they are read, larger
// ones sorted once when they close.
//
// Strings must keep to JSON: an escape JSON does not have, an escaped
// surrogate that is not half of a pair, or a raw control character makes
// the text refused too. The parser takes them, but reads some of them in
// ways that make two different spellings one key (Qt 5 and Qt 6 in
// different ways).
bool jsonSafeToParse(const char *text, qsizetype size);
