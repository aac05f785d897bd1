#include <gtest/gtest.h>

#include "update/update_check.h"

namespace {

struct Outcome {
    bool ok;
    bool listed;
    std::string url, hash, problem;
};

Outcome read(const char* document)
{
    Outcome o{};
    o.hash = "previous";
    o.ok = read_first_release(nlohmann::json::parse(document), o.url, o.hash, o.listed, o.problem);
    return o;
}

TEST(Descriptor, NoReleaseListed)
{
    for (const char* doc : {"null", "{}", R"({"results":null})", R"({"results":[]})", R"({"results":{}})",
                            R"({"count":0,"next":null})"}) {
        const Outcome o = read(doc);
        EXPECT_TRUE(o.ok) << doc;
        EXPECT_FALSE(o.listed) << doc;
        EXPECT_EQ(o.url, "") << doc;
        EXPECT_EQ(o.hash, "previous") << "hash untouched: " << doc;
    }
}

TEST(Descriptor, FirstReleaseOnly)
{
    const Outcome o = read(R"({"results":[{"url":"http://h/a.msi","hash":"aa","version":"9"},
                                          {"url":"http://h/b.msi","hash":"bb"}]})");
    ASSERT_TRUE(o.ok);
    EXPECT_TRUE(o.listed);
    EXPECT_EQ(o.url, "http://h/a.msi");
    EXPECT_EQ(o.hash, "aa");

    const Outcome empty_url = read(R"({"results":[{"url":"","hash":"cc"}]})");
    ASSERT_TRUE(empty_url.ok);
    EXPECT_EQ(empty_url.url, "");
    EXPECT_EQ(empty_url.hash, "cc") << "the hash of a listed release is taken even with an empty url";
}

TEST(Descriptor, OtherShapesAreNamed)
{
    struct Case {
        const char* document;
        const char* problem;
    };
    for (const Case& c : {
             Case{"[1]", "the document is an array, not an object"},
             Case{"\"text\"", "the document is a string, not an object"},
             Case{"true", "the document is a boolean, not an object"},
             Case{"3.5", "the document is a number, not an object"},
             Case{R"({"results":"x"})", "results is a string, not an array"},
             Case{R"({"results":7})", "results is a number, not an array"},
             Case{R"({"results":{"url":"u"}})", "results is an object, not an array"},
             Case{R"({"results":[5]})", "results[0] is a number, not an object"},
             Case{R"({"results":[{"hash":"h"}]})", "results[0].url is missing"},
             Case{R"({"results":[{"url":"u"}]})", "results[0].hash is missing"},
             Case{R"({"results":[{"url":1,"hash":"h"}]})", "results[0].url is a number, not a string"},
             Case{R"({"results":[{"url":"u","hash":null}]})", "results[0].hash is null, not a string"},
             Case{R"({"results":[{"url":"http://h/a.msi\r\n[info] forged","hash":"h"}]})",
                  "results[0].url holds a control character"},
             Case{R"({"results":[{"url":"http://h/\u007f","hash":"h"}]})",
                  "results[0].url holds a control character"},
         }) {
        const Outcome o = read(c.document);
        EXPECT_FALSE(o.ok) << c.document;
        EXPECT_EQ(o.problem, c.problem);
        EXPECT_EQ(o.hash, "previous") << c.document;
    }
}

}  // namespace
