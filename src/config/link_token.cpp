#include "config/link_token.h"

#include "config/link_config.h"
#include "config/private_file.h"

#include <util/platform.h>

#include <QRandomGenerator64>

namespace {
const char alphabet[] =
	"ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";
constexpr int alphabetSize = sizeof(alphabet) - 1;
constexpr int tokenLength = 28;
static_assert(alphabetSize == 56, "token alphabet has 56 characters");
}

std::string makeLinkToken()
{
	std::string token;
	token.reserve(tokenLength);
	QRandomGenerator64 *random = QRandomGenerator64::system();
	for (int i = 0; i < tokenLength; i++) {
		// The upper half of a 32-bit value times 56: an index from 0
		// to 55, as QRandomGenerator::bounded(56) computes it.
		const quint64 product =
			quint64(random->QRandomGenerator::generate()) *
			quint64(alphabetSize);
		token += alphabet[product >> 32];
	}
	return token;
}

void writeTokenFile(const LinkConfig &config)
{
	char *folder = os_get_config_path_ptr(TESSIL_APP_DATA_FOLDER);
	if (folder)
		os_mkdirs(folder);
	char *path = os_get_config_path_ptr(TESSIL_APP_DATA_FOLDER
					    "/" TESSIL_TOKEN_FILE_NAME);
	if (path) {
		preparePrivateFile(path);
		os_quick_write_utf8_file(path, config.token.data(),
					 config.token.size(), false);
	}
	bfree(path);
	bfree(folder);
}
