#include "server/token_compare.h"

bool tokensEqual(const QByteArray &given, const std::string &expected)
{
	const size_t expectedSize = expected.size();
	const size_t givenSize = size_t(given.size());
	// Every byte of the expected token is visited once, whatever the
	// guess; a guess of another length still walks the same bytes.
	// An empty expected token (never the case once the configuration is
	// loaded) matches nothing.
	unsigned difference =
		givenSize == expectedSize && expectedSize > 0 ? 0u : 1u;
	for (size_t i = 0; i < expectedSize; i++) {
		const unsigned char guess =
			i < givenSize
				? static_cast<unsigned char>(given[int(i)])
				: 0u;
		difference |= guess ^ static_cast<unsigned char>(expected[i]);
	}
	return difference == 0;
}
