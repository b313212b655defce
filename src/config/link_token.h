#pragma once

#include <string>

struct LinkConfig;

// Folder, under the user's configuration directory, that the companion
// application reads the token file from.
#define TESSIL_APP_DATA_FOLDER "tessil"
#define TESSIL_TOKEN_FILE_NAME "link-token.txt"

// A new token: 28 characters from an alphabet without look-alike letters,
// drawn from the system's secure generator.
std::string makeLinkToken();

// Writes the record's token, and nothing else, to the token file.
void writeTokenFile(const LinkConfig &config);
