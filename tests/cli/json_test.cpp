// ql5's JSON documents, read back with a strict parser: their shape, their
// values, and names that would break a document written carelessly.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "cli/run.hpp"
#include "json.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace ql5::cli {
namespace {

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

struct Parsed {
    int code = -1;
    QJsonObject doc;
    std::string err;
};

Parsed ql5Json(std::vector<std::string> args) {
    setenv("QL5_TIMING", "test", 1);
    args.emplace_back("--json");
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Parsed p;
    p.code = run(args, out, err);
    const std::string text = slurp(out);
    p.err = slurp(err);
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError)
        << error.errorString().toStdString() << " in:\n"
        << text;
    EXPECT_TRUE(doc.isObject()) << text;
    p.doc = doc.object();
    return p;
}

TEST(Ql5Json, PortsListEveryPortWithItsIndexAndWhetherItIsTheUnits) {
    auto other = mm::virt::VirtualDevice::create("Other \"synth\"\t\\ 1", "Other out");
    other->plug();
    const Parsed p = ql5Json({"ports", "--virtual"});
    other->unplug();
    ASSERT_EQ(p.code, 0) << p.err;
    EXPECT_EQ(p.doc.keys(), (QStringList{"inputs", "outputs", "problems"}));
    EXPECT_TRUE(p.doc["problems"].toArray().isEmpty());
    for (const char* key : {"inputs", "outputs"}) {
        const QJsonArray ports = p.doc[key].toArray();
        ASSERT_EQ(ports.size(), 2) << key;
        int units = 0;
        for (int i = 0; i < ports.size(); ++i) {
            const QJsonObject port = ports[i].toObject();
            EXPECT_EQ(port["index"].toInt(-1), i);
            ASSERT_TRUE(port["unit"].isBool());
            if (port["unit"].toBool()) {
                ++units;
                EXPECT_EQ(port["name"].toString(), "Tarvik QL-5 MIDI 1");
            }
        }
        EXPECT_EQ(units, 1) << key;
    }
    bool otherSeen = false;
    for (const QJsonValue& v : p.doc["inputs"].toArray()) {
        if (v.toObject()["name"].toString() == "Other \"synth\"\t\\ 1") {
            otherSeen = true;
            EXPECT_FALSE(v.toObject()["unit"].toBool());
        }
    }
    EXPECT_TRUE(otherSeen) << "a name with quotes, a tab and a backslash comes back as it was";
}

TEST(Ql5Json, VersionGivesTheThreeStampsAndWhatAnUpdateWouldChange) {
    const Parsed p = ql5Json({"version", "--virtual"});
    ASSERT_EQ(p.code, 0) << p.err;
    EXPECT_EQ(p.doc.keys(), (QStringList{"boot", "preset", "system"}));
    const auto stamp = [&](const char* key) { return p.doc[key].toObject(); };
    // The virtual unit as it comes: SYSTEM 1.10, PRESET 1.00, BOOT 0.90.
    EXPECT_EQ(
        stamp("system"),
        (QJsonObject{
            {"unit", "1.10"}, {"carried", "1.20"}, {"differs", true}, {"update_changes", true}}));
    EXPECT_EQ(
        stamp("preset"),
        (QJsonObject{
            {"unit", "1.00"}, {"carried", "1.00"}, {"differs", false}, {"update_changes", false}}));
    // BOOT differs, but an update never writes it.
    EXPECT_EQ(
        stamp("boot"),
        (QJsonObject{
            {"unit", "0.90"}, {"carried", "1.00"}, {"differs", true}, {"update_changes", false}}));
}

TEST(Ql5Json, AStampThatCouldNotBeReadIsNull) {
    const Parsed p = ql5Json({"version", "--virtual", "--fault", "read#2:drop"});
    ASSERT_EQ(p.code, 0) << p.err;
    const QJsonObject preset = p.doc["preset"].toObject();
    EXPECT_TRUE(preset["unit"].isNull());
    EXPECT_TRUE(preset["differs"].isNull());
    EXPECT_TRUE(preset["update_changes"].isNull()) << "unknown: an update writes PRESET";
    EXPECT_EQ(preset["carried"].toString(), "1.00");
    EXPECT_EQ(p.doc["boot"].toObject()["unit"].toString(), "0.90");
}

// Whatever bytes a name holds, the string is valid JSON and says them back
// (invalid UTF-8 as U+FFFD).
TEST(JsonString, EscapesAndRepairs) {
    const struct {
        std::string in;
        QString back;
    } cases[] = {
        {"plain", "plain"},
        {"q\"b\\", "q\"b\\"},
        {std::string("nl\n cr\r nul\0 del\x7F", 17),
         QString("nl\n cr\r nul") + QChar(0) + " del\x7F"},
        {"caf\xC3\xA9 \xE3\x83\x9F \xF0\x9F\x8E\xB9",
         QString::fromUtf8("caf\xC3\xA9 \xE3\x83\x9F \xF0\x9F\x8E\xB9")},
        {"bad \xC3 end", QString::fromUtf8("bad \xEF\xBF\xBD end")},
        {"\xED\xA0\x80", QString::fromUtf8("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")},
        {"\xC0\xAF", QString::fromUtf8("\xEF\xBF\xBD\xEF\xBF\xBD")},
        {"cut \xE3\x83", QString::fromUtf8("cut \xEF\xBF\xBD\xEF\xBF\xBD")},
    };
    for (const auto& c : cases) {
        const std::string doc = "[" + jsonString(c.in) + "]";
        QJsonParseError error{};
        const QJsonDocument parsed =
            QJsonDocument::fromJson(QByteArray::fromStdString(doc), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << doc;
        EXPECT_EQ(parsed.array().at(0).toString(), c.back) << doc;
    }
}

}  // namespace
}  // namespace ql5::cli
