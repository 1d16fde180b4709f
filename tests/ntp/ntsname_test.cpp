// How a row names an NTS server.
#include <gtest/gtest.h>

#include <string>

#include "ntp/nts_name.h"

namespace {

std::u16string Units(const wch* s) { return std::u16string(s, s + WLen(s)); }

struct Parsed {
  NTSNAMEKIND kind;
  std::u16string name;
  uint16_t port;
};

Parsed Parse(const std::u16string& host) {
  std::u16string copy = host;
  std::basic_string<wch> text(copy.begin(), copy.end());
  wch name[HOST_CHARS];
  Parsed p;
  p.kind = ParseNtsName(text.c_str(), name, &p.port);
  p.name = Units(name);
  return p;
}

TEST(NtsName, NamesAndLiteralsWithAndWithoutPort) {
  const struct {
    const char16_t* host;
    const char16_t* name;
    uint16_t port;
  } cases[] = {
      {u"nts://time.example", u"time.example", 0},
      {u"NTS://localhost:4461", u"localhost", 4461},
      {u"nts://[::1]:4460", u"::1", 4460},
      {u"nts://[2001:db8::1]", u"2001:db8::1", 0},
      {u"nts://127.0.0.1:65535", u"127.0.0.1", 65535},
      {u"nts://xn--bcher-kva.example:1", u"xn--bcher-kva.example", 1},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.host);
    SCOPED_TRACE(std::string(p.name.begin(), p.name.end()));
    EXPECT_EQ(NTSNAME_OK, p.kind);
    EXPECT_EQ(c.name, p.name);
    EXPECT_EQ(c.port, p.port);
  }
}

TEST(NtsName, PlainHostsAreNotNts) {
  for (const char16_t* h : {u"localhost", u"127.0.0.1", u"nts:/x", u"ntp://x", u"nts", u"", u"xnts://a"}) {
    SCOPED_TRACE(std::string(h, h + std::char_traits<char16_t>::length(h)));
    EXPECT_EQ(NTSNAME_PLAIN, Parse(h).kind);
  }
}

TEST(NtsName, MalformedNamesAndPortsAreRefused) {
  for (const char16_t* h :
       {u"nts://", u"nts://:4460", u"nts://host:", u"nts://host:0", u"nts://host:65536", u"nts://host:123456",
        u"nts://host:44a", u"nts://host:-1", u"nts://[::1", u"nts://[]", u"nts://[::1]x", u"nts://[::1]:",
        u"nts://[g::1]", u"nts://a/b", u"nts://a b", u"nts://a:1:2", u"nts://[::1]:99999"}) {
    SCOPED_TRACE(std::string(h, h + std::char_traits<char16_t>::length(h)));
    Parsed p = Parse(h);
    EXPECT_EQ(NTSNAME_MALFORMED, p.kind);
    EXPECT_EQ(u"", p.name);
  }
}

TEST(NtsName, TheLongestHostARowHoldsStillParses) {
  // 127 units with the prefix: the row's limit, and no overrun of the name.
  std::u16string host = u"nts://" + std::u16string(121, u'a');
  Parsed p = Parse(host);
  EXPECT_EQ(NTSNAME_OK, p.kind);
  EXPECT_EQ(121u, p.name.size());
  // An over-long text (which no row holds) is refused rather than cut.
  EXPECT_EQ(NTSNAME_MALFORMED, Parse(u"nts://" + std::u16string(200, u'a')).kind);
}

}  // namespace
