#pragma once

#include <QByteArray>

#include <string>

// True when `given` equals `expected` byte for byte. Takes the same time
// whatever bytes the client sent, so the comparison tells an attacker
// nothing about how much of a guess was right.
bool tokensEqual(const QByteArray &given, const std::string &expected);
