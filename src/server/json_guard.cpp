#include "server/json_guard.h"

#include <algorithm>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {
// Qt's parser refuses anything deeper, in Qt 5.15 and Qt 6 alike.
constexpr size_t maxDepth = 1024;
// Each key of a small object is compared with the ones before it; an
// object with more keys is sorted once when it closes.
constexpr size_t linearKeys = 16;

struct Level {
	bool object = false;
	bool expectingKey = false;
	size_t firstKey = 0; // index into Scanner::keys
};

int hexValue(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

void appendUtf8(std::string &out, uint32_t codePoint)
{
	if (codePoint < 0x80) {
		out += char(codePoint);
	} else if (codePoint < 0x800) {
		out += char(0xC0 | (codePoint >> 6));
		out += char(0x80 | (codePoint & 0x3F));
	} else if (codePoint < 0x10000) {
		// Lone surrogates land here too; raw UTF-8 cannot spell them (the
		// parser refuses such bytes), so they match only each other.
		out += char(0xE0 | (codePoint >> 12));
		out += char(0x80 | ((codePoint >> 6) & 0x3F));
		out += char(0x80 | (codePoint & 0x3F));
	} else {
		out += char(0xF0 | (codePoint >> 18));
		out += char(0x80 | ((codePoint >> 12) & 0x3F));
		out += char(0x80 | ((codePoint >> 6) & 0x3F));
		out += char(0x80 | (codePoint & 0x3F));
	}
}

class Scanner {
public:
	Scanner(const char *text, size_t size) : text(text), size(size) {}

	bool run()
	{
		while (pos < size) {
			const char c = text[pos];
			switch (c) {
			case '"':
				if (!string())
					return true; // unterminated: the parser refuses it
				continue;
			case '{':
			case '[':
				if (levels.size() >= maxDepth)
					return false;
				levels.emplace_back();
				levels.back().object = c == '{';
				levels.back().expectingKey = c == '{';
				levels.back().firstKey = keys.size();
				break;
			case '}':
			case ']':
				if (!levels.empty())
					closeLevel();
				break;
			case ',':
				if (!levels.empty() && levels.back().object)
					levels.back().expectingKey = true;
				break;
			default:
				break;
			}
			pos++;
			if (repeated)
				return false;
		}
		return !repeated;
	}

private:
	// Reads the string that starts at pos and leaves pos after it. Keys
	// are recorded in their decoded form; other strings are skipped.
	bool string()
	{
		const size_t start = ++pos;
		bool escaped = false;
		while (pos < size && text[pos] != '"') {
			if (text[pos] == '\\') {
				escaped = true;
				pos++;
			}
			pos++;
		}
		if (pos >= size)
			return false;
		const size_t end = pos++;
		if (levels.empty() || !levels.back().expectingKey)
			return true;
		levels.back().expectingKey = false;
		std::string_view key(text + start, end - start);
		if (escaped) {
			decoded.push_back(decode(start, end));
			key = decoded.back();
		}
		addKey(key);
		return true;
	}

	void addKey(std::string_view key)
	{
		const Level &level = levels.back();
		if (keys.size() - level.firstKey < linearKeys) {
			for (size_t i = level.firstKey; i < keys.size(); i++) {
				if (keys[i] == key) {
					repeated = true;
					return;
				}
			}
		}
		keys.push_back(key);
	}

	void closeLevel()
	{
		const auto first = keys.begin() + long(levels.back().firstKey);
		if (size_t(keys.end() - first) > linearKeys) {
			std::sort(first, keys.end());
			repeated = std::adjacent_find(first, keys.end()) !=
				   keys.end();
		}
		keys.erase(first, keys.end());
		levels.pop_back();
	}

	// The escapes of a JSON string, as the parser reads them; anything
	// malformed is kept as it stands (the parser refuses it anyway).
	std::string decode(size_t from, size_t to) const
	{
		std::string out;
		out.reserve(to - from);
		size_t i = from;
		while (i < to) {
			if (text[i] != '\\' || i + 1 >= to) {
				out += text[i++];
				continue;
			}
			const char e = text[i + 1];
			i += 2;
			switch (e) {
			case 'b':
				out += '\b';
				break;
			case 'f':
				out += '\f';
				break;
			case 'n':
				out += '\n';
				break;
			case 'r':
				out += '\r';
				break;
			case 't':
				out += '\t';
				break;
			case 'u': {
				int unit = hex4(i, to);
				if (unit < 0) {
					out += "\\u";
					break;
				}
				i += 4;
				uint32_t codePoint = uint32_t(unit);
				if (unit >= 0xD800 && unit < 0xDC00 &&
				    i + 1 < to && text[i] == '\\' &&
				    text[i + 1] == 'u') {
					const int low = hex4(i + 2, to);
					if (low >= 0xDC00 && low < 0xE000) {
						codePoint = 0x10000 +
							    ((uint32_t(unit) -
							      0xD800)
							     << 10) +
							    (uint32_t(low) -
							     0xDC00);
						i += 6;
					}
				}
				appendUtf8(out, codePoint);
				break;
			}
			default: // \" \\ \/ and anything the parser refuses
				out += e;
				break;
			}
		}
		return out;
	}

	int hex4(size_t at, size_t end) const
	{
		if (at + 4 > end)
			return -1;
		int value = 0;
		for (size_t k = at; k < at + 4; k++) {
			const int digit = hexValue(text[k]);
			if (digit < 0)
				return -1;
			value = value << 4 | digit;
		}
		return value;
	}

	const char *text;
	size_t size;
	size_t pos = 0;
	bool repeated = false;
	std::vector<Level> levels;
	std::vector<std::string_view> keys;
	// Decoded keys: a deque, so the views into them stay valid.
	std::deque<std::string> decoded;
};
}

bool jsonSafeToParse(const char *text, qsizetype size)
{
	if (size <= 0)
		return true;
	return Scanner(text, size_t(size)).run();
}
