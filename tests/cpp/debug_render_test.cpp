#include <gtest/gtest.h>

#include "text/unicode_tables.h"
#include "types/annotation.h"

namespace {

using types::AttrValue;
using types::debug_render;

struct RenderCase {
  types::AttrMap attrs;
  const char* rendered;
};

class DebugRender : public testing::TestWithParam<RenderCase> {};

TEST_P(DebugRender, QuotesAndEscapes) { EXPECT_EQ(debug_render(GetParam().attrs), GetParam().rendered); }

INSTANTIATE_TEST_SUITE_P(
    Types, DebugRender,
    testing::Values(
        RenderCase{{}, "{}"},
        RenderCase{{{"id", AttrValue::str("7")}, {"urgent", AttrValue::boolean(true)}},
                   "{\"id\": Str(\"7\"), \"urgent\": Bool(true)}"},
        RenderCase{{{"x", AttrValue::boolean(false)}}, "{\"x\": Bool(false)}"},
        RenderCase{{{"q", AttrValue::str("a\n\"b\" it's\t\r\\")}}, "{\"q\": Str(\"a\\n\\\"b\\\" it's\\t\\r\\\\\")}"},
        RenderCase{{{"c", AttrValue::str(std::string("\0\x07\x7f", 3))}}, "{\"c\": Str(\"\\0\\u{7}\\u{7f}\")}"},
        // No-break space (Zs), zero-width joiner (Cf), line separator (Zl),
        // combining acute (Grapheme_Extend), unassigned U+0378 (Cn), private use.
        RenderCase{{{"u", AttrValue::str("a\xc2\xa0" "b\xe2\x80\x8d\xe2\x80\xa8" "e\xcc\x81\xcd\xb8\xee\x80\x80")}},
                   "{\"u\": Str(\"a\\u{a0}b\\u{200d}\\u{2028}e\\u{301}\\u{378}\\u{e000}\")}"},
        RenderCase{{{"k", AttrValue::str("caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x99\x82")}},
                   "{\"k\": Str(\"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x99\x82\")}"}));

TEST(UnicodeTables, AnswerTheProperties) {
  using namespace text::unicode;
  for (unsigned ws : {0x09, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    EXPECT_TRUE(is_white_space(ws)) << std::hex << ws;
  }
  for (unsigned not_ws : {0x08, 0x0E, 0x200B, 0xFEFF, 0x180E}) EXPECT_FALSE(is_white_space(not_ws)) << not_ws;
  for (unsigned alnum : {0x61, 0x5A, 0x37, 0xE9, 0x4E2D, 0x0663, 0x2160, 0xBD, 0x10400}) {
    EXPECT_TRUE(is_alphanumeric(alnum)) << std::hex << alnum;
  }
  // `_`, `-`, `'`, em dash, an emoji, a combining accent.
  for (unsigned other : {0x5F, 0x2D, 0x27, 0x2014, 0x1F642, 0x301}) EXPECT_FALSE(is_alphanumeric(other)) << other;
  EXPECT_FALSE(needs_escape(' '));
  EXPECT_FALSE(needs_escape(0x1F642));
  EXPECT_TRUE(needs_escape(0x10FFFF));
  EXPECT_TRUE(needs_escape(0xD800));
}

}  // namespace
