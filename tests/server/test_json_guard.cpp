#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include "server/json_guard.h"

namespace {
bool safe(const QByteArray &text)
{
	return jsonSafeToParse(text.constData(), text.size());
}

// A literal with every byte it holds, NUL bytes included.
template<int N> QByteArray bytes(const char (&literal)[N])
{
	return QByteArray(literal, N - 1);
}

QByteArray nested(int depth)
{
	return QByteArray(depth, '[') + QByteArray(depth, ']');
}

// An object with `count` distinct keys, then `extra` appended as a member.
QByteArray manyKeys(int count, const QByteArray &extra)
{
	QByteArray text = "{";
	for (int i = 0; i < count; i++)
		text += "\"k" + QByteArray::number(i) +
			"\":" + QByteArray::number(i) + ",";
	return text + extra + "}";
}
}

TEST(JsonGuard, RepeatedKeysAreFoundAsTheParserDecodesThem)
{
	struct Case {
		QByteArray text;
		bool safe;
	};
	const Case cases[] = {
		// Ordinary messages.
		{R"({"op":"req","id":1,"cmd":"status","args":{}})", true},
		{R"({"op":"auth","token":"op"})", true},
		{"", true},
		{"[1,2,3]", true},
		// The same key in different objects, and values equal to keys.
		{R"({"a":{"a":{"a":1}},"b":[{"a":1},{"a":2}]})", true},
		{R"([{"a":1},{"a":1}])", true},
		{R"({"a":"a","b":"a"})", true},
		// Keys that only look alike.
		{R"({"a\"":1,"a":2})", true},
		{R"({"a\\":1,"a":2})", true},
		{R"({"A":1,"a":2})", true},
		{R"({"\ud800\udc00":1,"\ud800\udc01":2})", true},
		// A byte order mark opening a key is part of it.
		{"{\"\xEF\xBB\xBF"
		 "a\":1,\"a\":2}",
		 true},
		// Repeats.
		{R"({"a":1,"a":2})", false},
		{R"({"a":{"b":1},"a":{"b":1}})", false},
		{R"([{"x":[{"a":[1],"a":"x"}]}])", false},
		{R"({"a":{"b":1},"c":3,"a":4})", false},
		// Spelled differently, decoded the same.
		{R"({"\u0061":{},"a":1})", false},
		{R"({"\/":[],"/":1})", false},
		{R"({"\u00E9":[],"é":1})", false},
		{"{\"\\ud83d\\ude00\":[],\"\xf0\x9f\x98\x80\":1}", false},
		{R"({"\n":[],"\u000a":1})", false},
		{R"({"\uD83D\uDE00":[],"\ud83d\ude00":1})", false},
		{R"({"\u00e9":[],"\u00E9":1})", false},
		{"{\"\xEF\xBB\xBF"
		 "a\":[],\"\\ufeffa\":1}",
		 false},
		{R"({"\u0000":[],"\u0000":1})", false},
		// The parser misses this repeat and keeps all four members.
		{"{\"\\ud83d\\ude00\":0,\"\xf0\x9f\x98\x80\":1,\"a\":2,"
		 "\"\\ufeff\":3}",
		 false},
		// The parser's nesting limit.
		{nested(1024), true},
		{nested(1025), false},
		// Large objects are checked when they close.
		{manyKeys(40, R"("k39":{})"), false},
		{manyKeys(40, R"("k0":{})"), false},
		{manyKeys(40, R"("k40":{})"), true},
		// ... each against its own keys only.
		{manyKeys(20, R"("inner":)" + manyKeys(20, R"("x":1)")), true},
		{manyKeys(20, R"("inner":)" + manyKeys(20, R"("k3":1)")),
		 false},
		// Text the parser refuses anyway: either answer is harmless,
		// but it must not read past the end.
		{R"({"a":1,"a)", true},
		{R"({"a\)", true},
		{R"({"\u12)", true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.text.left(80).toStdString());
		EXPECT_EQ(safe(c.text), c.safe);
	}
}

TEST(JsonGuard, SafeTextParsesToEveryKeyItNames)
{
	// What the guard lets through keeps its members: nothing it calls
	// distinct is merged by the parser.
	const QByteArray text =
		R"({"a\"":1,"a":2,"\u00e9x":3,"ex":4,"\ud83d\ude00":5,"k":{"a":6}})";
	ASSERT_TRUE(safe(text));
	EXPECT_EQ(QJsonDocument::fromJson(text).object().size(), 6);
}

TEST(JsonGuard, StringsMustKeepToJson)
{
	// Qt 5 reads a backslash before byte 0x80 as U+D7BF and half a
	// surrogate pair: to it, these are one key, and the first value
	// leaks.
	const QByteArray leakingPair = "[{\"\\\x80\":{\"s\":\"" +
				       QByteArray(1 << 20, 'x') +
				       "\"},\"\\uD7BF\\uDF80\":1}]";
	struct Case {
		QByteArray text;
		bool safe;
	};
	const Case cases[] = {
		// Everything JSON allows in a string, in keys and values.
		{R"({"\"\\\/\b\f\n\r\t":1,"v":"\"\\\/\b\f\n\r\t"})", true},
		{R"({"\u0041\u00e9\u20AC\uFFFD\uffff":["\u0000"]})", true},
		{R"({"\ud83d\ude00":"\uDBFF\uDFFF","\uD800\uDC00":1})", true},
		{"{\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\":\"\xEF\xBF\xBD\"}",
		 true},
		{leakingPair, false},
		// Escapes JSON does not have, which Qt reads all the same.
		{"{\"\\\x80\":1}", false},
		{"[\"\\\xFF\"]", false},
		{R"({"\x":1})", false},
		{R"({"\U0041":1})", false},
		{R"({"\u12G4":1})", false},
		{R"({"a":"\'"})", false},
		// Surrogates that are not a pair: Qt 5 takes them for U+FFFD
		// against keys spelled without escapes.
		{"{\"\\ud800\":{},\"\xEF\xBF\xBD\":1}", false},
		{R"({"\ud800":1})", false},
		{R"({"\udc00":1})", false},
		{R"({"\uDFFF":1})", false},
		{R"({"\ud800\ud800":1})", false},
		{R"({"\udc00\ud800":1})", false},
		{R"({"\ud800x":1})", false},
		{R"({"\ud800\n":1})", false},
		{R"({"\ud800\u0041":1})", false},
		{R"(["\ud800"])", false},
		{R"({"a":"x\udbff"})", false},
		// Raw control characters: Qt 5 compares two keys spelled
		// without escapes only up to a NUL byte.
		{bytes("{\"a\0b\":{},\"a\0c\":1}"), false},
		{bytes("[\"\0\"]"), false},
		{"{\"\t\":1}", false},
		{"[\"a\nb\"]", false},
		{"{\"a\":\"\x1F\"}", false},
		// ... but around strings they are whitespace or the parser's.
		{"{\n\t\"a\" :\r\n1 }", true},
		// The text ends inside an escape: the parser refuses it.
		{R"(["\ud800)", true},
		{R"(["\ud800\)", true},
		{R"(["\ud800\udc)", true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.text.left(80).toStdString());
		EXPECT_EQ(safe(c.text), c.safe);
	}
}

TEST(JsonGuard, OnlyEscapesJsonHasAreTaken)
{
	const QByteArray allowed = "\"\\/bfnrt";
	for (int byte = 0; byte < 256; byte++) {
		SCOPED_TRACE(byte);
		const QByteArray escape = "\\" + QByteArray(1, char(byte));
		const bool json = allowed.contains(char(byte));
		EXPECT_EQ(safe("{\"" + escape + "\":1}"), json);
		EXPECT_EQ(safe("[\"" + escape + "\"]"), json);
	}
}

TEST(JsonGuard, KeysItTellsApartStayApartInTheParser)
{
	// Spellings of keys, some of which Qt 5 or Qt 6 reads alike.
	const QByteArray spellings[] = {
		"a",
		"\\u0061",
		"x",
		"\\x",
		"\xC3\xA9",
		"\\u00e9",
		"\\u00E9",
		"\\\xE9",
		"\\uD7BF\\uDFE9",
		"\xC2\x80",
		"\\u0080",
		"\\\x80",
		"\\uD7BF\\uDF80",
		"\xED\x9E\xBF\xEF\xBF\xBD",
		"\\ud800",
		"\\udc00",
		"\\ud800\\ud800",
		"\xEF\xBF\xBD",
		"\\ufffd",
		"\\ud83d\\ude00",
		"\\uD83D\\uDE00",
		"\xF0\x9F\x98\x80",
		bytes("a\0b"),
		bytes("a\0c"),
		"a\\u0000b",
		"a\\u0000c",
		"\\n",
		"\n",
		"\\u000a",
		"\xEF\xBB\xBF"
		"a",
		"\\ufeffa",
		"",
		"\\/",
		"/",
	};
	for (const QByteArray &first : spellings) {
		for (const QByteArray &second : spellings) {
			if (&first == &second)
				continue;
			const QByteArray text =
				"{\"" + first + "\":{},\"" + second + "\":1}";
			SCOPED_TRACE(text.toStdString());
			QJsonParseError error;
			const QJsonObject parsed =
				QJsonDocument::fromJson(text, &error).object();
			const bool parses = error.error ==
					    QJsonParseError::NoError;
			if (safe(text)) {
				// What it lets through keeps both members.
				EXPECT_TRUE(!parses || parsed.size() == 2);
			} else if (parses && parsed.size() == 2) {
				// It refuses two keys the parser keeps apart
				// only for a spelling it refuses alone.
				EXPECT_TRUE(!safe("{\"" + first + "\":1}") ||
					    !safe("{\"" + second + "\":1}"));
			}
		}
	}
}
