#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "server/json_guard.h"

namespace {
bool safe(const QByteArray &text)
{
	return jsonSafeToParse(text.constData(), text.size());
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
		{R"({"\ud800":1,"\ud801":2})", true},
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
