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

// What a byte is inside a string: most bytes simply belong to it.
enum StringByte : unsigned char { Plain, Quote, Backslash, Control };

struct StringBytes {
	StringByte kind[256];

	constexpr StringBytes() : kind()
	{
		for (int c = 0; c < 0x20; c++)
			kind[c] = Control;
		kind[int('"')] = Quote;
		kind[int('\\')] = Backslash;
	}
};
constexpr StringBytes stringBytes;

// How a string reads.
enum class Read {
	Done,
	// The text ends inside it: the parser refuses the text.
	PastEnd,
	// It holds what JSON does not allow in a string (see string()).
	Invalid,
};

constexpr int hexInvalid = -1;
constexpr int hexPastEnd = -2;

// The value of each hex digit; -1 for other bytes.
struct HexDigits {
	signed char value[256];

	constexpr HexDigits() : value()
	{
		for (int c = 0; c < 256; c++)
			value[c] = -1;
		for (int c = 0; c < 10; c++)
			value['0' + c] = char(c);
		for (int c = 0; c < 6; c++) {
			value['a' + c] = char(10 + c);
			value['A' + c] = char(10 + c);
		}
	}
};
constexpr HexDigits hexDigits;

void appendUtf8(std::string &out, uint32_t codePoint)
{
	if (codePoint < 0x80) {
		out += char(codePoint);
	} else if (codePoint < 0x800) {
		out += char(0xC0 | (codePoint >> 6));
		out += char(0x80 | (codePoint & 0x3F));
	} else if (codePoint < 0x10000) {
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
				switch (string()) {
				case Read::Done:
					continue;
				case Read::PastEnd:
					return true;
				case Read::Invalid:
					return false;
				}
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
	//
	// The parser takes more than JSON in a string, and reads some of it
	// in ways that make different spellings one key, so any string
	// holding it is refused:
	//  - an escape JSON does not have: "\x" is "x" to the parser, but
	//    a backslash before a byte from 0x80 up gives Qt 5 a character
	//    and half a surrogate pair ("\<0x80>" is "\uD7BF\uDF80") and
	//    Qt 6 a Latin-1 character ("\<0x80>" is "\u0080");
	//  - an escaped surrogate that is not half of a pair: Qt 5 takes
	//    "\uD800" and "\uDC00" alike for U+FFFD against a key spelled
	//    without escapes;
	//  - a raw control character: Qt 5 compares two keys spelled
	//    without escapes only up to a NUL byte.
	// Raw bytes that are not UTF-8 are left to the parser, which
	// refuses them.
	Read string()
	{
		const size_t start = ++pos;
		bool escaped = false;
		const auto *bytes =
			reinterpret_cast<const unsigned char *>(text);
		for (;;) {
			// Plain bytes, counted in a local.
			size_t i = pos;
			while (i < size && stringBytes.kind[bytes[i]] == Plain)
				i++;
			pos = i;
			if (pos >= size)
				return Read::PastEnd;
			const StringByte kind = stringBytes.kind[bytes[pos]];
			if (kind == Quote)
				break;
			if (kind == Control)
				return Read::Invalid;
			const Read read = escape();
			if (read != Read::Done)
				return read;
			escaped = true;
		}
		const size_t end = pos++;
		if (levels.empty() || !levels.back().expectingKey)
			return Read::Done;
		levels.back().expectingKey = false;
		std::string_view key(text + start, end - start);
		if (escaped) {
			decoded.push_back(decode(start, end));
			key = decoded.back();
		}
		addKey(key);
		return Read::Done;
	}

	// Reads the escape at pos (a backslash) and leaves pos after it.
	Read escape()
	{
		if (pos + 1 >= size)
			return Read::PastEnd;
		switch (text[pos + 1]) {
		case '"':
		case '\\':
		case '/':
		case 'b':
		case 'f':
		case 'n':
		case 'r':
		case 't':
			pos += 2;
			return Read::Done;
		case 'u':
			break;
		default:
			return Read::Invalid;
		}
		const int unit = hex4(pos + 2);
		if (unit == hexPastEnd)
			return Read::PastEnd;
		if (unit < 0 || (unit >= 0xDC00 && unit < 0xE000))
			return Read::Invalid;
		pos += 6;
		if (unit < 0xD800 || unit >= 0xDC00)
			return Read::Done;
		// A high surrogate: the low one's escape must follow.
		for (const char expected : {'\\', 'u'}) {
			if (pos >= size)
				return Read::PastEnd;
			if (text[pos++] != expected)
				return Read::Invalid;
		}
		const int low = hex4(pos);
		if (low == hexPastEnd)
			return Read::PastEnd;
		if (low < 0xDC00 || low >= 0xE000)
			return Read::Invalid;
		pos += 4;
		return Read::Done;
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

	// A key as the parser reads it, in UTF-8. escape() has let through
	// only JSON's escapes, and \u escapes of surrogates only in pairs.
	std::string decode(size_t from, size_t to) const
	{
		std::string out;
		out.reserve(to - from);
		size_t i = from;
		while (i < to) {
			if (text[i] != '\\') {
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
				uint32_t codePoint = uint32_t(hex4(i));
				i += 4;
				if (codePoint >= 0xD800 && codePoint < 0xDC00) {
					codePoint =
						0x10000 +
						((codePoint - 0xD800) << 10) +
						(uint32_t(hex4(i + 2)) -
						 0xDC00);
					i += 6;
				}
				appendUtf8(out, codePoint);
				break;
			}
			default: // \" \\ and \/
				out += e;
				break;
			}
		}
		return out;
	}

	// The value of the four hex digits at `at`, hexInvalid if one is
	// not a hex digit, hexPastEnd if the text ends first.
	int hex4(size_t at) const
	{
		int value = 0;
		for (size_t k = at; k < at + 4; k++) {
			if (k >= size)
				return hexPastEnd;
			const int digit =
				hexDigits.value[static_cast<unsigned char>(
					text[k])];
			if (digit < 0)
				return hexInvalid;
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
