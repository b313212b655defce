// libFuzzer target setting the check that runs before every parse
// (jsonSafeToParse) against Qt's JSON parser, on the same bytes.
//
// Qt's parse tells which keys are one: an object of the parsed document holds
// fewer members than the text gives it when Qt took two of its keys for the
// same key. The members the text gives each object are counted by a small
// reader of this file, written apart from the check, which also notes
// whether every string keeps to JSON's rules: the escapes JSON has and no
// other, a \u escape of a surrogate only as the high half of a pair followed
// at once by the low half's escape, no raw control character. The check
// refuses strings that break them, whether or not Qt reads them: Qt reads
// some of them in ways that make different spellings one key.
//
// For text Qt parses:
//  - text the check lets through must keep all its members in Qt's document
//    (no keys merged), and keep to JSON's rules for strings;
//  - text the check refuses must repeat a key or break the rules for
//    strings. Nesting beyond 1024 levels is no reason: Qt refuses that text
//    itself. A key is repeated when Qt merged members, or when Qt reads two
//    keys of one object as one on their own: in a larger object Qt can miss
//    a repeat and keep both members (Qt 5 and Qt 6 keep all four of
//    {"\ud83d\ude00":0,"<U+1F600 in UTF-8>":1,"a":2,"\ufeff":3}).
// Text Qt refuses never reaches the server's handlers, so either answer is
// right for it (the sanitizers still watch the check read it).
//
// Objects are compared as (depth, member count) pairs, sorted: Qt's objects
// iterate in key order, not in the text's. Qt never adds a member, so a
// merge anywhere leaves Qt fewer members in total, and the lists differ.
//
// Qt's parser is not instrumented, so nothing guides libFuzzer towards two
// spellings Qt reads alike. Qt itself proposes them: each of the first keys
// of the text that is not plain ASCII is read by Qt alone, spelled again
// from what Qt read (its characters raw, and every UTF-16 unit escaped),
// and the object holding both spellings goes through the same comparison.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "server/json_guard.h"

namespace {
// (depth, members) of one object; the outermost value is at depth 1.
using ObjectSizes = std::vector<std::pair<int, int>>;

// The text being compared, shown with a broken invariant: it may be one
// built from the input rather than the input.
const QByteArray *comparing = nullptr;

[[noreturn]] void fail(const char *what)
{
	fprintf(stderr, "broken invariant: %s\n", what);
	if (comparing) {
		fprintf(stderr, "text: \"");
		for (const char c : *comparing) {
			if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"')
				fputc(c, stderr);
			else
				fprintf(stderr, "\\x%02x", uint8_t(c));
		}
		fprintf(stderr, "\"\n");
	}
	abort();
}

void require(bool condition, const char *what)
{
	if (!condition)
		fail(what);
}

bool isHex(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
	       (c >= 'A' && c <= 'F');
}

// Follows the structure of text Qt has parsed: values, members and strings,
// with numbers and literals read loosely (Qt has judged them already).
class Reader {
public:
	Reader(const char *text, size_t size) : text(text), size(size) {}

	// Reads the whole text; false if it cannot follow it.
	bool document()
	{
		// Qt skips one byte order mark before the text.
		if (size >= 3 && uint8_t(text[0]) == 0xEF &&
		    uint8_t(text[1]) == 0xBB && uint8_t(text[2]) == 0xBF)
			pos = 3;
		if (!value(1))
			return false;
		space();
		return pos == size;
	}

	ObjectSizes objects;
	// The keys of each object, in the order of `objects`: where they are
	// spelled (the bytes between their quotes).
	std::vector<std::vector<std::pair<size_t, size_t>>> keys;
	bool stringsKeepToJson = true;

private:
	void space()
	{
		while (pos < size && (text[pos] == ' ' || text[pos] == '\t' ||
				      text[pos] == '\n' || text[pos] == '\r'))
			pos++;
	}

	bool at(char c)
	{
		space();
		if (pos < size && text[pos] == c) {
			pos++;
			return true;
		}
		return false;
	}

	bool value(int depth)
	{
		space();
		if (pos >= size)
			return false;
		switch (text[pos]) {
		case '{':
			return object(depth);
		case '[':
			return array(depth);
		case '"':
			return string();
		default:
			return scalar();
		}
	}

	bool object(int depth)
	{
		pos++;
		const size_t index = objects.size();
		objects.emplace_back(depth, 0);
		keys.emplace_back();
		if (at('}'))
			return true;
		do {
			space();
			const size_t key = pos + 1;
			if (!string())
				return false;
			keys[index].emplace_back(key, pos - 1);
			if (!at(':') || !value(depth + 1))
				return false;
			objects[index].second++;
		} while (at(','));
		return at('}');
	}

	bool array(int depth)
	{
		pos++;
		if (at(']'))
			return true;
		do {
			if (!value(depth + 1))
				return false;
		} while (at(','));
		return at(']');
	}

	bool scalar()
	{
		const size_t start = pos;
		while (pos < size && ((text[pos] >= '0' && text[pos] <= '9') ||
				      (text[pos] >= 'a' && text[pos] <= 'z') ||
				      text[pos] == '.' || text[pos] == '+' ||
				      text[pos] == '-' || text[pos] == 'E'))
			pos++;
		return pos > start;
	}

	// The value of \uXXXX at i (i at the backslash), or -1.
	int unitAt(size_t i) const
	{
		if (i + 6 > size || text[i] != '\\' || text[i + 1] != 'u')
			return -1;
		int unit = 0;
		for (size_t k = i + 2; k < i + 6; k++) {
			if (!isHex(text[k]))
				return -1;
			const char c = text[k];
			unit = unit * 16 + (c <= '9'   ? c - '0'
					    : c <= 'F' ? c - 'A' + 10
						       : c - 'a' + 10);
		}
		return unit;
	}

	bool string()
	{
		if (pos >= size || text[pos] != '"')
			return false;
		pos++;
		while (pos < size && text[pos] != '"') {
			if (uint8_t(text[pos]) < 0x20) {
				stringsKeepToJson = false;
				pos++;
				continue;
			}
			if (text[pos] != '\\') {
				pos++;
				continue;
			}
			if (pos + 1 >= size)
				return false;
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
				break;
			case 'u': {
				const int unit = unitAt(pos);
				if (unit < 0)
					return false;
				pos += 6;
				if (unit < 0xD800 || unit > 0xDFFF)
					break;
				const int low = unitAt(pos);
				if (unit < 0xDC00 && low >= 0xDC00 &&
				    low <= 0xDFFF)
					pos += 6;
				else
					stringsKeepToJson = false;
				break;
			}
			default:
				// Qt reads the byte after the backslash as
				// the escaped character, whatever it is.
				stringsKeepToJson = false;
				pos += 2;
				break;
			}
		}
		if (pos >= size)
			return false;
		pos++;
		return true;
	}

	const char *text;
	size_t size;
	size_t pos = 0;
};

void collect(const QJsonValue &value, int depth, ObjectSizes &out)
{
	if (value.isObject()) {
		const QJsonObject object = value.toObject();
		out.emplace_back(depth, int(object.size()));
		for (auto it = object.begin(); it != object.end(); ++it)
			collect(it.value(), depth + 1, out);
	} else if (value.isArray()) {
		const QJsonArray array = value.toArray();
		for (const QJsonValue &element : array)
			collect(element, depth + 1, out);
	}
}

long members(const ObjectSizes &objects)
{
	long total = 0;
	for (const auto &object : objects)
		total += object.second;
	return total;
}

QByteArray spelling(const QByteArray &text, std::pair<size_t, size_t> key)
{
	return text.mid(int(key.first), int(key.second - key.first));
}

// Whether two keys of one object are one key to Qt on their own (see
// above). Objects of more than 128 keys are taken on trust.
bool namesAKeyTwice(const QByteArray &text, const Reader &reader)
{
	for (const auto &keys : reader.keys) {
		if (keys.size() > 128)
			return true;
		for (size_t i = 0; i < keys.size(); i++) {
			for (size_t j = i + 1; j < keys.size(); j++) {
				const QByteArray pair =
					"{\"" + spelling(text, keys[i]) +
					"\":0,\"" + spelling(text, keys[j]) +
					"\":1}";
				if (QJsonDocument::fromJson(pair)
					    .object()
					    .size() == 1)
					return true;
			}
		}
	}
	return false;
}

// Sets the check against Qt on one text (see above). Returns the spellings
// of the text's keys if Qt parses it, none if Qt refuses it.
std::vector<QByteArray> compare(const QByteArray &text)
{
	comparing = &text;
	const bool safe = jsonSafeToParse(text.constData(), text.size());

	QJsonParseError error;
	const QJsonDocument document = QJsonDocument::fromJson(text, &error);
	if (error.error != QJsonParseError::NoError)
		return {};

	Reader reader(text.constData(), size_t(text.size()));
	require(reader.document(), "Qt parsed text the reader cannot follow");
	ObjectSizes parsed;
	if (document.isObject())
		collect(document.object(), 1, parsed);
	else
		collect(document.array(), 1, parsed);
	ObjectSizes given = reader.objects;
	std::sort(parsed.begin(), parsed.end());
	std::sort(given.begin(), given.end());
	const bool merged = parsed != given;
	if (merged)
		require(members(parsed) < members(given),
			"Qt's objects differ from the text's, with no member "
			"lost");

	if (safe) {
		require(!merged,
			"Qt merged keys of text the check let through");
		require(reader.stringsKeepToJson,
			"the check let through a string JSON does not allow");
	} else {
		require(merged || !reader.stringsKeepToJson ||
				namesAKeyTwice(text, reader),
			"the check refused text Qt parses with every member");
	}

	std::vector<QByteArray> spellings;
	for (const auto &keys : reader.keys) {
		for (const auto &key : keys)
			spellings.push_back(spelling(text, key));
	}
	return spellings;
}

bool plainAscii(const QByteArray &spelling)
{
	for (const char c : spelling) {
		if (c < 0x20 || c > 0x7E || c == '\\')
			return false;
	}
	return true;
}

// The key Qt reads from a spelling alone.
bool readKey(const QByteArray &spelling, QString &key)
{
	QJsonParseError error;
	const QJsonObject object =
		QJsonDocument::fromJson("{\"" + spelling + "\":0}", &error)
			.object();
	if (error.error != QJsonParseError::NoError || object.size() != 1)
		return false;
	key = object.begin().key();
	return true;
}

QByteArray unitEscape(unsigned unit)
{
	char escape[8];
	snprintf(escape, sizeof(escape), "\\u%04X", unit & 0xFFFF);
	return escape;
}

// A key spelled again: its characters raw (as Qt writes them in UTF-8),
// quotes, backslashes and control characters escaped; and every UTF-16
// unit escaped.
std::vector<QByteArray> respell(const QString &key)
{
	QByteArray raw;
	for (const char c : key.toUtf8()) {
		if (c == '"' || c == '\\')
			raw += '\\';
		if (uint8_t(c) < 0x20)
			raw += unitEscape(uint8_t(c));
		else
			raw += c;
	}
	QByteArray escaped;
	for (const QChar c : key)
		escaped += unitEscape(c.unicode());
	return {raw, escaped};
}
}

// Qt 5.15's parser leaks the value a repeated key replaces, the reason the
// check exists, and this target hands it such text on purpose: the leak
// checker is to watch the check, not Qt.
extern "C" const char *__lsan_default_suppressions()
{
	return "leak:libQt5Core.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > size_t(1) << 24)
		return 0;
	const std::vector<QByteArray> spellings = compare(
		QByteArray::fromRawData(reinterpret_cast<const char *>(data),
					int(size)));

	int respelled = 0;
	for (const QByteArray &spelling : spellings) {
		if (plainAscii(spelling))
			continue;
		if (++respelled > 3)
			break;
		QString key;
		if (!readKey(spelling, key))
			continue;
		for (const QByteArray &other : respell(key))
			compare("{\"" + spelling + "\":{},\"" + other +
				"\":1}");
	}
	return 0;
}
