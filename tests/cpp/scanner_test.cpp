#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "parser/scanner.h"
#include "parser/tag_table.h"
#include "test_support.h"

namespace {

using parser::TagKind;
using parser::Markup;
using tagmire_test::cdata_end;
using tagmire_test::markup_at;
using tagmire_test::scan_tag;
using types::AttrMap;
using types::AttrValue;

AttrValue S(const char* s) { return AttrValue::str(s); }
AttrValue B() { return AttrValue::boolean(true); }

class NotATag : public testing::TestWithParam<const char*> {};

TEST_P(NotATag, LeavesTheAngleBracketAsText) {
  EXPECT_FALSE(scan_tag(GetParam(), 0).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Scanning, NotATag,
                         testing::Values("<>", "< >", "</>", "</ >", "< b", "<3>", "<!-- note -->",
                                         "<?xml version=\"1.0\"?>", "<!DOCTYPE x>", "</ 3>",
                                         "<\xc3\xa9t\xc3\xa9>", "< / >", "<//a>", "</\xe3\x80\x80>"));

struct TagCase {
  const char* input;
  const char* raw;
  const char* name;
  TagKind kind;
  AttrMap attrs;
};

class ScansTag : public testing::TestWithParam<TagCase> {};

TEST_P(ScansTag, ReadsKindNameAndAttributes) {
  const TagCase& c = GetParam();
  const auto tag = scan_tag(c.input, 0);
  ASSERT_TRUE(tag.has_value()) << c.input;
  EXPECT_EQ(tag->token.raw, c.raw);
  EXPECT_EQ(tag->length, std::string_view(c.raw).size());
  EXPECT_EQ(tag->token.name, c.name);
  EXPECT_EQ(tag->token.kind, c.kind);
  EXPECT_EQ(tag->token.attrs, c.attrs) << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    Scanning, ScansTag,
    testing::Values(
        TagCase{"< b > c", "< b >", "b", TagKind::Open, {}},
        TagCase{"<b <c> y", "<b <c>", "b", TagKind::Open, {}},
        TagCase{"<cite/>", "<cite/>", "cite", TagKind::SelfClosing, {}},
        TagCase{"<cite />", "<cite />", "cite", TagKind::SelfClosing, {}},
        TagCase{"<cite/ >", "<cite/ >", "cite", TagKind::SelfClosing, {}},
        TagCase{"</cite/>", "</cite/>", "cite", TagKind::Close, {}},
        TagCase{"</cite foo=\"1\">", "</cite foo=\"1\">", "cite", TagKind::Close, {}},
        TagCase{"<  / cite >", "<  / cite >", "cite", TagKind::Close, {}},
        TagCase{"<a/b>", "<a/b>", "a", TagKind::Open, {}},
        TagCase{"<cite,x>", "<cite,x>", "cite", TagKind::Open, {}},
        TagCase{"<cite\"x\">", "<cite\"x\">", "cite", TagKind::Open, {}},
        TagCase{"<na\xc3\xafve>", "<na\xc3\xafve>", "na", TagKind::Open, {}},
        TagCase{"<x-1.b:c_d>", "<x-1.b:c_d>", "x-1.b:c_d", TagKind::Open, {}},
        TagCase{"<a x>", "<a x>", "a", TagKind::Open, {{"x", B()}}},
        TagCase{"<a x=>", "<a x=>", "a", TagKind::Open, {{"x", B()}}},
        TagCase{"<a x=\"\">", "<a x=\"\">", "a", TagKind::Open, {{"x", S("")}}},
        TagCase{"<a x='say \"hi\"'>", "<a x='say \"hi\"'>", "a", TagKind::Open, {{"x", S("say \"hi\"")}}},
        TagCase{"<a x=1 x=2>", "<a x=1 x=2>", "a", TagKind::Open, {{"x", S("2")}}},
        TagCase{"<a x=1 y x=2>", "<a x=1 y x=2>", "a", TagKind::Open, {{"x", S("2")}, {"y", B()}}},
        TagCase{"<a X=1 x=2>", "<a X=1 x=2>", "a", TagKind::Open, {{"X", S("1")}, {"x", S("2")}}},
        TagCase{"<a x = \"1\">", "<a x = \"1\">", "a", TagKind::Open, {{"x", S("1")}}},
        TagCase{"<a x=\"1\"y=\"2\">", "<a x=\"1\"y=\"2\">", "a", TagKind::Open, {{"x", S("1")}, {"y", S("2")}}},
        TagCase{"<a x='it's'>", "<a x='it's'>", "a", TagKind::Open, {{"x", S("it")}, {"s", B()}}},
        TagCase{"<a 1x=2 data-id=7 xml:lang=en>", "<a 1x=2 data-id=7 xml:lang=en>", "a", TagKind::Open,
                {{"1x", S("2")}, {"data-id", S("7")}, {"xml:lang", S("en")}}},
        TagCase{"<a href=/p/q>", "<a href=/p/q>", "a", TagKind::Open, {{"href", S("/p/q")}}},
        TagCase{"<a href=x/y>", "<a href=x/y>", "a", TagKind::Open, {{"href", S("x")}}},
        TagCase{"<a x= y=1>", "<a x= y=1>", "a", TagKind::Open, {{"x", S("y=1")}}},
        TagCase{"<cite title=\"a>b\">", "<cite title=\"a>", "cite", TagKind::Open, {{"title", S("a")}}},
        TagCase{"<a x=\"open y=1>", "<a x=\"open y=1>", "a", TagKind::Open, {{"x", S("open y=1")}}},
        TagCase{"<a x=\"b />", "<a x=\"b />", "a", TagKind::SelfClosing, {{"x", S("b")}}},
        TagCase{"<a x=1/>", "<a x=1/>", "a", TagKind::SelfClosing, {{"x", S("1")}}},
        TagCase{"<a x=\xe2\x80\x83y>", "<a x=\xe2\x80\x83y>", "a", TagKind::Open, {{"x", S("y")}}},
        TagCase{"<a x=caf\xc3\xa9 y>", "<a x=caf\xc3\xa9 y>", "a", TagKind::Open, {{"x", S("caf\xc3\xa9")}, {"y", B()}}},
        TagCase{"<a k=v , z>", "<a k=v , z>", "a", TagKind::Open, {{"k", S("v")}}},
        TagCase{"<a\xc2\xa0x=1\xe3\x80\x80>", "<a\xc2\xa0x=1\xe3\x80\x80>", "a", TagKind::Open, {{"x", S("1")}}}));

TEST(TagTable, FoldsNamesOnlyWhenCaseInsensitive) {
  const auto lookup = [](const char* configured, std::string_view written, bool case_sensitive) {
    types::ParserConfig config = types::ParserConfig::default_cite_config();
    config.recognized_tags = {configured};
    config.case_sensitive_tags = case_sensitive;
    const parser::TagTable table(config);
    return table.find(written.data(), written.size(), parser::name_key(written.data(), written.size())).has_value();
  };
  EXPECT_TRUE(lookup("cite", "CiTe", false));
  EXPECT_TRUE(lookup("CITE", "cite", false));
  EXPECT_FALSE(lookup("cite", "CiTe", true));
  EXPECT_TRUE(lookup("CiTe", "CiTe", true));
  // Past eight characters the packed prefix no longer decides alone.
  EXPECT_TRUE(lookup("citation-x", "CITATION-X", false));
  EXPECT_FALSE(lookup("citation-x", "citation-y", false));
  EXPECT_FALSE(lookup("Citation-x", "citation-x", true));
  // A configured name no scanned tag can have is left out of the table.
  EXPECT_FALSE(lookup("a\x7f", "a_", false));
  EXPECT_EQ(scan_tag("<CiTe>", 0)->token.name, "CiTe");
}

TEST(Scanning, ManyAttributesKeepFirstWrittenOrderAndLastValue) {
  std::string tag = "<a";
  for (int i = 0; i < 40; ++i) tag += " k" + std::to_string(i) + "=" + std::to_string(i);
  tag += " k3=last k0>";
  const auto attrs = scan_tag(tag, 0)->token.attrs;
  ASSERT_EQ(attrs.size(), 40u);
  EXPECT_EQ(attrs[0], (std::pair<std::string, AttrValue>{"k0", B()}));
  EXPECT_EQ(attrs[3], (std::pair<std::string, AttrValue>{"k3", S("last")}));
  EXPECT_EQ(attrs[39].first, "k39");
}

TEST(Scanning, CdataSections) {
  EXPECT_EQ(markup_at("x<![CDATA[<cite>]]>y", 1), Markup::kCdata);
  EXPECT_EQ(cdata_end("x<![CDATA[<cite>]]>y", 10), 16u);
  EXPECT_EQ(cdata_end("<![CDATA[a]]b]]]>", 9), 14u);  // the first "]]>"
  EXPECT_EQ(cdata_end("<![CDATA[abc", 9), parser::kNoPosition);
  EXPECT_EQ(markup_at("<![cdata[x]]>", 0), Markup::kText);
  EXPECT_EQ(markup_at("<![CDATA", 0), Markup::kText);
}

TEST(Scanning, AnInputThatMayGrowLeavesUnfinishedMarkupUndecided) {
  const std::vector<std::pair<const char*, Markup>> cases = {
      {"<![CDATA", Markup::kUndecided}, {"<!", Markup::kUndecided},  {"<![CDAT]", Markup::kText},
      {"<", Markup::kUndecided},        {"< b c", Markup::kUndecided}, {"</ x", Markup::kUndecided},
      {"< 3", Markup::kText},           {"</ 3", Markup::kText},        {"<3 x", Markup::kText},
      {"<b x=1>", Markup::kTag},        {"<b x=1", Markup::kUndecided}, {"<b >", Markup::kTag},
  };
  for (const auto& [input, growing] : cases) {
    EXPECT_EQ(markup_at(input, 0, false), growing) << input;
    // Complete, whatever could not be a tag is text.
    EXPECT_EQ(markup_at(input, 0, true), growing == Markup::kTag ? Markup::kTag : Markup::kText) << input;
  }
}

TEST(Scanning, ScannerRemembersTheNextAngleBracketAcrossCalls) {
  // The same scanner asked at successive `<` must answer as a fresh one would.
  const std::string input = "<< <3 <a <b x=1> <c";
  parser::TagScanner<text::Utf8> scanner;
  scanner.reset({input.data(), input.size()});
  for (std::size_t pos = 0; pos < input.size(); ++pos) {
    if (input[pos] != '<') continue;
    parser::TagToken remembered;
    const bool found = scanner.scan(pos, remembered);
    const auto fresh = scan_tag(input, pos);
    ASSERT_EQ(found, fresh.has_value()) << pos;
    if (fresh) {
      EXPECT_EQ(input.substr(remembered.begin, remembered.end - remembered.begin), fresh->token.raw);
    }
  }
}

}  // namespace
