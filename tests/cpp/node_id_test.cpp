#include "runtime/node_id.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <unordered_set>

namespace vardimont::runtime {

void PrintTo(const NodeId& id, std::ostream* os) { *os << '"' << id.name << "\" \"" << id.host << "\" " << id.port; }
void PrintTo(NodeIdError e, std::ostream* os) { *os << to_string(e); }

namespace {

struct Accepted {
  std::string text;
  std::string name;
  std::string host;
  std::uint16_t port;
  std::string full;
};

// Ids that parse: the split at the first '@' and the last ':', and the forms
// of the port, which the full text writes back without sign or leading zeros.
TEST(NodeIdParse, SplitsAtFirstAtAndLastColonAndReadsThePortAsANumber) {
  const Accepted cases[] = {
      // where the id splits
      {"n@h:1", "n", "h", 1, "n@h:1"},
      {"n:x@h:1", "n:x", "h", 1, "n:x@h:1"},
      {"n@a@b:1", "n", "a@b", 1, "n@a@b:1"},
      {"n@h:1:2", "n", "h:1", 2, "n@h:1:2"},
      {"n@::1:9000", "n", "::1", 9000, "n@::1:9000"},
      {"n@[::1]:9000", "n", "[::1]", 9000, "n@[::1]:9000"},
      {" n@h:1", " n", "h", 1, " n@h:1"},
      {"n o d e@H o s t:7", "n o d e", "H o s t", 7, "n o d e@H o s t:7"},
      {"nœud@hôte.例え:5", "nœud", "hôte.例え", 5, "nœud@hôte.例え:5"},
      // the forms of the port
      {"n@h:65535", "n", "h", 65535, "n@h:65535"},
      {"n@h:0", "n", "h", 0, "n@h:0"},
      {"n@h:+0", "n", "h", 0, "n@h:0"},
      {"n@h:+80", "n", "h", 80, "n@h:80"},
      {"n@h:080", "n", "h", 80, "n@h:80"},
      {"n@h:+080", "n", "h", 80, "n@h:80"},
      {"n@h:00000000080", "n", "h", 80, "n@h:80"},
      {"n@h:000000000000000000000065535", "n", "h", 65535, "n@h:65535"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto id = NodeId::parse(c.text);
    ASSERT_TRUE(id.ok()) << to_string(id.error());
    EXPECT_EQ(*id, (NodeId{c.name, c.host, c.port}));
    EXPECT_EQ(id->to_full(), c.full);
  }
}

TEST(NodeIdParse, FirstFailingTestDecidesTheError) {
  const struct {
    std::string text;
    NodeIdError error;
  } cases[] = {
      {"", NodeIdError::MissingAt},
      {"name-only", NodeIdError::MissingAt},
      {"n:1", NodeIdError::MissingAt},
      {"n@h", NodeIdError::MissingHostPort},
      {"@h", NodeIdError::MissingHostPort},  // no ':' is found before the empty name
      {"@", NodeIdError::MissingHostPort},
      {"n:1@h", NodeIdError::MissingHostPort},  // the ':' before the '@' does not count
      {"@:1", NodeIdError::EmptyName},
      {"@:", NodeIdError::EmptyName},  // the name is tested before the host
      {"n@:1", NodeIdError::EmptyHost},
      {"n@:x", NodeIdError::EmptyHost},  // the host is tested before the port
      {"n@h:", NodeIdError::InvalidPort},
      {"n@h:+", NodeIdError::InvalidPort},
      {"n@h:-", NodeIdError::InvalidPort},
      {"n@h:-1", NodeIdError::InvalidPort},
      {"n@h:-0", NodeIdError::InvalidPort},
      {"n@h:++1", NodeIdError::InvalidPort},
      {"n@h:+-1", NodeIdError::InvalidPort},
      {"n@h:1a", NodeIdError::InvalidPort},
      {"n@h: 1", NodeIdError::InvalidPort},
      {"n@h:1 ", NodeIdError::InvalidPort},
      {"n@h:1\n", NodeIdError::InvalidPort},
      {"n@h:65536", NodeIdError::InvalidPort},
      {"n@h:4294967377", NodeIdError::InvalidPort},  // 2^32 + 81: no wrap-around
      {"n@h:99999999999999999999999", NodeIdError::InvalidPort},
      {"n@h:١٢", NodeIdError::InvalidPort},   // Arabic-Indic digits
      {"n@h:８０", NodeIdError::InvalidPort},  // full-width digits
      {"n@h:0x50", NodeIdError::InvalidPort},
      {std::string("n@h:8\0", 6), NodeIdError::InvalidPort},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto id = NodeId::parse(c.text);
    ASSERT_FALSE(id.ok()) << id->to_full();
    EXPECT_EQ(id.error(), c.error);
  }
}

TEST(NodeIdError, DisplayTexts) {
  EXPECT_EQ(to_string(NodeIdError::MissingAt), "expected 'name@host:port'");
  EXPECT_EQ(to_string(NodeIdError::MissingHostPort), "expected 'host:port' in node id");
  EXPECT_EQ(to_string(NodeIdError::EmptyName), "node name must not be empty");
  EXPECT_EQ(to_string(NodeIdError::EmptyHost), "host must not be empty");
  EXPECT_EQ(to_string(NodeIdError::InvalidPort), "port must be a number");
}

TEST(NodeIdIdentity, EqualityAndHashFollowAllThreeFields) {
  auto parse = [](const char* text) { return NodeId::parse(text).value(); };
  EXPECT_EQ(parse("n@h:080"), parse("n@h:80"));
  EXPECT_EQ(NodeIdHash{}(parse("n@h:080")), NodeIdHash{}(parse("n@h:80")));

  const NodeId distinct[] = {parse("n@h:80"),        parse("N@h:80"),   parse("n@H:80"),
                             parse("n@h:81"),        parse("n@h.:80"),  parse("n@127.0.0.1:80"),
                             parse("nh@:80x@y:1"),   parse("n@hx@y:1")};
  std::unordered_set<NodeId> set;
  for (const auto& id : distinct) EXPECT_TRUE(set.insert(id).second) << id.to_full();
  for (const auto& id : distinct) EXPECT_EQ(set.count(NodeId(id)), 1u) << id.to_full();
  EXPECT_NE(parse("n@h:80"), parse("N@h:80"));
}

TEST(NodeIdIdentity, FullIdParsesBackToAnEqualId) {
  for (const char* text : {"n@h:+080", "a:b@c@d:e:0", "n@[::1]:65535", " @ :1"}) {
    SCOPED_TRACE(text);
    const NodeId id = NodeId::parse(text).value();
    auto again = NodeId::parse(id.to_full());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, id);
    EXPECT_EQ(again->to_full(), id.to_full());
  }
}

}  // namespace
}  // namespace vardimont::runtime
