// Field list rules, form encoding, answer decoding and preparation, JSON look-ups.

#include <gtest/gtest.h>

#include <cctype>

#include "service/ServiceCall.h"

using namespace norvane;

namespace {

QByteArray body(std::initializer_list<std::pair<const char*, QString>> fields) {
    FieldList list;
    for (const auto& [name, value] : fields) list.set(QString::fromLatin1(name), value);
    return encodeForm(list);
}

}  // namespace

TEST(FieldList, EmptyValueRemovesAndExistingNameKeepsItsPlace) {
    FieldList fields;
    fields.set("servico", "instrumentoDeProtesto");
    fields.set("nm_chave", "A");
    fields.set("cd_usuario", "");
    fields.set("ds_certificado_digital_b64", "C");
    EXPECT_EQ(encodeForm(fields), "servico=instrumentoDeProtesto&nm_chave=A&ds_certificado_digital_b64=C");

    fields.set("nm_chave", "B");  // replaced in place
    EXPECT_EQ(encodeForm(fields), "servico=instrumentoDeProtesto&nm_chave=B&ds_certificado_digital_b64=C");

    fields.set("nm_chave", "");  // removed; setting it again appends it
    EXPECT_FALSE(fields.contains("nm_chave"));
    fields.set("nm_chave", "D");
    EXPECT_EQ(encodeForm(fields), "servico=instrumentoDeProtesto&ds_certificado_digital_b64=C&nm_chave=D");
    EXPECT_EQ(fields.value("nm_chave"), "D");
    EXPECT_EQ(fields.size(), 3);

    // Single-byte text goes in as it is; a byte above 127 is its Latin-1 character.
    fields.set("ds_certificado_digital_b64", QByteArray("MII+/w==\r\n\xe7"));
    EXPECT_EQ(fields.value("ds_certificado_digital_b64"), QString::fromUtf8("MII+/w==\r\nç"));
    EXPECT_EQ(encodeForm(fields),
              "servico=instrumentoDeProtesto&ds_certificado_digital_b64=MII%2B%2Fw%3D%3D%0D%0A%C3%A7&nm_chave=D");
    fields.set("nm_chave", QByteArray());
    EXPECT_FALSE(fields.contains("nm_chave"));
}

TEST(FormEncoding, UnreservedStayAndEverythingElseIsUtf8PercentUpperCase) {
    EXPECT_EQ(body({{"servico", "login"}, {"doc", "123.456.789-01"}}), "servico=login&doc=123.456.789-01");
    EXPECT_EQ(percentEncode(u"AZaz09*-._"), "AZaz09*-._");
    EXPECT_EQ(percentEncode(u"a b"), "a+b");
    EXPECT_EQ(percentEncode(u"ç"), "%C3%A7");
    EXPECT_EQ(percentEncode(u"\r\n+/=&%~!'()"), "%0D%0A%2B%2F%3D%26%25%7E%21%27%28%29");
    EXPECT_EQ(percentEncode(u"€"), "%E2%82%AC");
    // A surrogate pair is one character: four UTF-8 bytes.
    EXPECT_EQ(percentEncode(u"😀"), "%F0%9F%98%80");
    // A lone surrogate has no UTF-8 form: a question mark goes instead.
    EXPECT_EQ(percentEncode(QStringView(u"\xD83D")), "%3F");
    // Names are encoded like values; a value may hold "=".
    EXPECT_EQ(body({{"a b", "x=y"}}), "a+b=x%3Dy");
    EXPECT_EQ(body({}), "");
}

TEST(FormEncoding, LongValuesEncodeAsTheirPiecesDo) {
    // Every byte value, many times, in an order that mixes runs of plain characters
    // with characters to escape.
    QByteArray bytes;
    for (int round = 0; round < 40; ++round)
        for (int c = 0; c < 256; ++c) {
            bytes += char((c * 7 + round) & 0xFF);
            if (c % 3 == 0) bytes += QByteArray(round % 23, 'k');
        }
    const QByteArray utf8 = QString::fromLatin1(bytes).toUtf8();
    QByteArray whole;
    appendPercentEncodedUtf8(whole, utf8);
    QByteArray pieces;
    for (qsizetype i = 0; i < utf8.size(); i += 5) appendPercentEncodedUtf8(pieces, utf8.mid(i, 5));
    EXPECT_EQ(whole, pieces);

    // Only the plain characters, "+" and "%" with two upper-case hexadecimal digits.
    for (qsizetype i = 0; i < whole.size(); ++i) {
        const char c = whole[i];
        if (c == '%') {
            ASSERT_LE(i + 2, whole.size() - 1);
            EXPECT_TRUE(QByteArray("0123456789ABCDEF").contains(whole[i + 1]) &&
                        QByteArray("0123456789ABCDEF").contains(whole[i + 2]));
            i += 2;
        } else {
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || QByteArray("*._+-").contains(c)) << c;
        }
    }
    EXPECT_EQ(QByteArray::fromPercentEncoding(QByteArray(whole).replace('+', ' ')), utf8);
}

TEST(AnswerDecoding, CharsetOfContentTypeOrOneBytePerCharacter) {
    const QByteArray utf8 = "{\"n\":\"Tabelião\"}";
    EXPECT_EQ(decodeAnswerBody(utf8, "application/json; charset=utf-8"), QString::fromUtf8(utf8));
    EXPECT_EQ(decodeAnswerBody(utf8, "application/json; charset=\"UTF-8\""), QString::fromUtf8(utf8));
    // No charset, or one that is not known: each byte is one character.
    EXPECT_EQ(decodeAnswerBody(utf8, "text/html"), QString::fromLatin1(utf8));
    EXPECT_EQ(decodeAnswerBody(utf8, ""), QString::fromLatin1(utf8));
    EXPECT_EQ(decodeAnswerBody(utf8, "text/html; charset=no-such-charset"), QString::fromLatin1(utf8));
    EXPECT_EQ(decodeAnswerBody("\x80", "text/plain; charset=windows-1252"), QStringLiteral("€"));
    EXPECT_EQ(decodeAnswerBody("\x80\xff", "text/plain").size(), 2);
    EXPECT_EQ(decodeAnswerBody("\x80\xff", "text/plain").at(1).unicode(), 0xFF);

    // XML types: the declaration decides, not the header.
    const QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>ç</a>";
    EXPECT_EQ(decodeAnswerBody(xml, "text/xml; charset=iso-8859-1"), QString::fromUtf8(xml));
    EXPECT_EQ(decodeAnswerBody(xml, "application/atom+xml"), QString::fromUtf8(xml));
    const QByteArray latinXml = "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xe7</a>";
    EXPECT_EQ(decodeAnswerBody(latinXml, "application/xml; charset=utf-8"),
              QString::fromUtf8("<?xml version='1.0' encoding='ISO-8859-1'?><a>ç</a>"));

    // A byte-order mark stays a character of the text.
    EXPECT_EQ(decodeAnswerBody("\xef\xbb\xbf{}", "application/json; charset=utf-8"),
              QChar(0xFEFF) + QStringLiteral("{}"));
    EXPECT_EQ(decodeAnswerBody("\xef\xbb\xbf{}", "application/json").size(), 5);
}

TEST(AnswerPreparation, HomologationDropsThreeCharactersThenTheRuleWraps) {
    EXPECT_EQ(prepareAnswer("[1]", "P", Wrapping::R), "{\"root\":[1]}");
    EXPECT_EQ(prepareAnswer("{\"a\":1}", "P", Wrapping::A), "{\"root\":[{\"a\":1}]}");
    EXPECT_EQ(prepareAnswer("{\"a\":1}", "P", Wrapping::N), "{\"a\":1}");
    EXPECT_EQ(prepareAnswer("xyz{\"a\":1}", "H", Wrapping::N), "{\"a\":1}");
    EXPECT_EQ(prepareAnswer("xyz{\"a\":1}", "h", Wrapping::N), "{\"a\":1}");  // anything but "P"
    EXPECT_EQ(prepareAnswer("ab", "H", Wrapping::A), "{\"root\":[]}");
    EXPECT_EQ(prepareAnswer("abc", "H", Wrapping::R), "{\"root\":}");

    // Two characters in homologation: rule A gives an object with an empty root.
    const auto object = parseAnswerObject(prepareAnswer("ok", "H", Wrapping::A));
    ASSERT_TRUE(object);
    EXPECT_EQ(jsonArray(*object, "root").size(), 0u);

    // The mark of a UTF-8 answer without charset is three characters: dropped in
    // homologation, kept (and not JSON) in production.
    const QString marked = decodeAnswerBody("\xef\xbb\xbf{\"a\":1}", "text/html");
    EXPECT_TRUE(parseAnswerObject(prepareAnswer(marked, "H", Wrapping::N)));
    EXPECT_FALSE(parseAnswerObject(prepareAnswer(marked, "P", Wrapping::N)));
    EXPECT_FALSE(parseAnswerObject(prepareAnswer(marked, "P", Wrapping::A)));
}

TEST(ServiceCatalogue, WrappingRules) {
    EXPECT_EQ(wrappingOf(kLogin), Wrapping::R);
    EXPECT_EQ(wrappingOf(kDigitacaoManual), Wrapping::N);
    EXPECT_EQ(wrappingOf(kAssinadorVersao), Wrapping::A);
    EXPECT_EQ(wrappingOf(kInstrumentoDeProtesto), Wrapping::A);
    EXPECT_EQ(wrappingOf(kDigitacaoManualAtt), Wrapping::A);
}

TEST(Json, InvalidTextGivesNoValueAndOtherValuesThanObjectsAreErrors) {
    EXPECT_FALSE(jsonParse("{\"root\":}"));
    EXPECT_FALSE(jsonParse("{'a':1}"));      // strict: no single quotes
    EXPECT_FALSE(jsonParse("{\"a\":1,}"));   // no trailing comma
    EXPECT_FALSE(jsonParse("{\"a\":1} x"));  // nothing after the value
    EXPECT_FALSE(jsonParse("/*c*/{}"));      // no comments
    EXPECT_FALSE(jsonParse(""));
    EXPECT_FALSE(parseAnswerObject("<html>erro</html>"));
    EXPECT_TRUE(jsonParse("[1,2]"));
    try {
        parseAnswerObject("[1,2]");
        FAIL() << "an array is not an object";
    } catch (const JsonError& error) {
        EXPECT_STREQ(error.what(), "Conversion from array to object is not supported");
    }
}

TEST(Json, LookupsAsTheCallersUseThem) {
    const auto answer = parseAnswerObject(QString::fromUtf8(
        R"({"root":[{"codigoIBGE":"3550308","numero":"01","codCartorio":"42","nomeCartorio":"Tabelião",)"
        R"("dados":{"nm_nr_versao":"1.0.3"},"n":12345678901234567890123,"f":1.50,"e":1E+2,"i":-7,"z":null,)"
        R"("b":true,"s":"12x","big":18446744073709551615}]})"));
    ASSERT_TRUE(answer);
    const JsonValue root = jsonArray(*answer, "root");
    ASSERT_EQ(root.size(), 1u);
    const JsonValue& office = jsonAsObject(root[0]);
    EXPECT_EQ(jsonText(office, "codigoIBGE"), "3550308");
    EXPECT_EQ(jsonText(office, "nomeCartorio"), QString::fromUtf8("Tabelião"));
    EXPECT_EQ(jsonInteger(office, "codCartorio"), 42);  // a string holding an integer
    EXPECT_EQ(jsonText(jsonObject(office, "dados"), "nm_nr_versao"), "1.0.3");
    // Numbers read as text keep the digits as written.
    EXPECT_EQ(jsonText(office, "n"), "12345678901234567890123");
    EXPECT_EQ(jsonText(office, "f"), "1.50");
    EXPECT_EQ(jsonText(office, "e"), "1E+2");
    EXPECT_EQ(jsonText(office, "i"), "-7");
    EXPECT_EQ(jsonText(office, "big"), "18446744073709551615");
    EXPECT_EQ(jsonInteger(office, "i"), -7);
    EXPECT_EQ(jsonText(office, "z"), "");
    EXPECT_EQ(jsonText(office, "b"), "true");
    EXPECT_EQ(jsonMember(office, "absent"), nullptr);
    ASSERT_NE(jsonMember(office, "numero"), nullptr);

    const auto message = [&](auto lookup) -> std::string {
        try {
            lookup();
        } catch (const JsonError& error) {
            return error.what();
        }
        return "no error";
    };
    EXPECT_EQ(message([&] { jsonText(office, "codUsuario"); }), "Value 'codUsuario' not found");
    EXPECT_EQ(message([&] { jsonArray(*answer, "dados"); }), "Value 'dados' not found");
    EXPECT_EQ(message([&] { jsonArray(office, "numero"); }), "Conversion from string to array is not supported");
    EXPECT_EQ(message([&] { jsonText(office, "dados"); }), "Conversion from object to string is not supported");
    EXPECT_EQ(message([&] { jsonInteger(office, "s"); }), "Conversion from string to integer is not supported");
    EXPECT_EQ(message([&] { jsonInteger(office, "f"); }), "Conversion from number to integer is not supported");
    EXPECT_EQ(message([&] { jsonInteger(office, "z"); }), "Conversion from null to integer is not supported");
    EXPECT_EQ(message([&] { jsonObject(office, "n"); }), "Conversion from number to object is not supported");
    EXPECT_EQ(message([&] { jsonAsObject(root); }), "Conversion from array to object is not supported");
}

// Answers shaped so that a careless reader gets them wrong.
TEST(HostileAnswers, ByteOrderMarksNumberTextsAndIntegerStrings) {
    // UTF-16 without a stated order: the mark gives it (either order); none, big-endian.
    EXPECT_EQ(decodeAnswerBody(QByteArray("\xfe\xff\0{\0}", 6), "application/json; charset=utf-16"), "{}");
    EXPECT_EQ(decodeAnswerBody(QByteArray("\xff\xfe{\0}\0", 6), "application/json; charset=UTF-16"), "{}");
    EXPECT_EQ(decodeAnswerBody(QByteArray("\0{\0}", 4), "application/json; charset=utf-16"), "{}");
    EXPECT_EQ(decodeAnswerBody(QByteArray("\xff\xfe\0\0{\0\0\0", 8), "application/json; charset=utf-32"), "{");
    // A stated order: a mark is a character like any other.
    EXPECT_EQ(decodeAnswerBody(QByteArray("\xfe\xff\0{", 4), "application/json; charset=utf-16be"),
              QChar(0xFEFF) + QStringLiteral("{"));

    const auto value = jsonParse(QString::fromUtf8("{\"z\":-0,\"m\":[0,-0,1],\"bom\":\"\xef\xbb\xbf" "a\","
                                                   "\"esc\":\"\\ufeffb\",\"nl\":\"123\\n\",\"ws\":\" 1\"}"));
    ASSERT_TRUE(value);
    EXPECT_EQ(jsonText(*value, "z"), "-0");
    EXPECT_EQ(jsonInteger(*value, "z"), 0);
    const JsonValue m = jsonArray(*value, "m");
    EXPECT_EQ(jsonAsText(m[0]) + jsonAsText(m[1]) + jsonAsText(m[2]), "0-01");
    EXPECT_EQ(jsonText(*value, "bom"), QChar(0xFEFF) + QStringLiteral("a"));
    EXPECT_EQ(jsonText(*value, "esc"), QChar(0xFEFF) + QStringLiteral("b"));
    EXPECT_THROW(jsonInteger(*value, "nl"), JsonError);
    EXPECT_THROW(jsonInteger(*value, "ws"), JsonError);
    EXPECT_THROW(jsonInteger(*value, "bom"), JsonError);
    // The texts of numbers stay with their own numbers however strings around them look.
    const auto mixed = jsonParse(R"(["-1\"2", -0, "3", 4e1, {"k-5": 6}])");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(jsonAsText((*mixed)[1]), "-0");
    EXPECT_EQ(jsonAsText((*mixed)[3]), "4e1");
    EXPECT_EQ(jsonText((*mixed)[4], "k-5"), "6");
}

TEST(HostileAnswers, NumbersBeyondADoubleAreJsonAndKeepTheirText) {
    const auto value = jsonParse(QStringLiteral(
        R"({"a":1e400,"b":-1E+400,"c":1e-400,"d":[1234567890123456789012345678901234567890e300],"s":"1e400"})"));
    ASSERT_TRUE(value);
    EXPECT_EQ(jsonText(*value, "a"), "1e400");
    EXPECT_EQ(jsonText(*value, "b"), "-1E+400");
    EXPECT_EQ(jsonText(*value, "c"), "1e-400");
    EXPECT_EQ(jsonAsText(jsonArray(*value, "d")[0]), "1234567890123456789012345678901234567890e300");
    EXPECT_EQ(jsonText(*value, "s"), "1e400");
    EXPECT_EQ(jsonKind(*jsonMember(*value, "a")), "number");
    // What is not JSON stays so, however large the number in it.
    for (const char* text : {R"({"a":1e400e1})", R"({"a":01e400})", R"({"a":1e400,})", R"({"a":+1e400})"})
        EXPECT_FALSE(jsonParse(QString::fromLatin1(text))) << text;
}

// An answer read from its received bytes gives what the decoded, prepared text gives;
// bytes that would decode otherwise go the way of the text.
TEST(AnswerPreparation, TheReceivedBytesReadAsTheirDecodedTextWould) {
    struct Case {
        QByteArray body, type;
        const char* ambiente;
        bool direct;
    };
    const QByteArray utf8 = "application/json; charset=UTF-8";
    const std::vector<Case> cases{
        {R"({"a":"x","n":[1e400,2.0]})", "text/html", "P", true},
        {R"(xyz{"a":1})", "text/html", "H", true},
        {"\xef\xbb\xbf{\"a\":1}", "text/html", "H", true},
        {"\xef\xbb\xbf{\"a\":1}", "text/html", "P", false},  // three Latin-1 characters, not JSON
        {"{\"a\":\"\xc3\xa9\"}", "text/html", "P", false},  // two Latin-1 characters
        {"{\"a\":\"\xc3\xa9\"}", utf8, "P", true},
        {"\xef\xbb\xbf{\"a\":1}", utf8, "P", true},
        {"\xc3\xa9\xc3\xa9\xc3\xa9{\"a\":1}", utf8, "H", true},
        {"\xf0\x9f\x98\x80" "a{\"a\":1}", utf8, "H", true},
        {"ab\xf0\x9f\x98\x80{\"a\":1}", utf8, "H", false},  // the third unit is half a pair
        {"{\"a\":\"\xed\xa0\x80\"}", utf8, "P", false},    // a surrogate
        {"{\"a\":\"\xc0\xaf\"}", utf8, "P", false},         // an overlong form
        {"{\"a\":\"\xe2\x82\"}", utf8, "P", false},         // cut short
        {R"({"a":1})", "application/json; charset=utf-16", "P", false},
        {"ab", "text/html", "H", true},
    };
    for (const Case& c : cases) {
        const QString ambiente = QString::fromLatin1(c.ambiente);
        const auto view = preparedUtf8(c.body, c.type, ambiente);
        EXPECT_EQ(view.has_value(), c.direct) << c.body.toStdString() << " " << c.type.toStdString();
        if (!view) continue;
        const auto direct = parseAnswerObjectUtf8(*view);
        const auto decoded = parseAnswerObject(prepareAnswer(decodeAnswerBody(c.body, c.type), ambiente, Wrapping::N));
        ASSERT_EQ(direct.has_value(), decoded.has_value()) << c.body.toStdString();
        if (direct) {
            EXPECT_EQ(*direct, *decoded) << c.body.toStdString();
        }
    }
}

TEST(HostileAnswers, ARawNulIsNotTheEndOfTheText) {
    EXPECT_FALSE(jsonParse(QString::fromLatin1("709\0;x\"]", 8)));
    EXPECT_FALSE(parseAnswerObject(QString::fromLatin1("{}\0garbage", 10)));
}
