#include "codecs/xml_tree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "support/temp_dir.h"

namespace codecs {
namespace {

using platform::Error;
using platform::Value;

Value parse(std::string_view xml) {
  Error error;
  Value v = XMLTreeParser::dictionaryWithXMLString(xml, &error);
  EXPECT_FALSE(v.isNone()) << error.description();
  return v;
}

TEST(XmlTree, DocumentElementNeverCollapses) {
  EXPECT_EQ(parse("<a>x</a>"), Value::dictionary({{"__name", "a"}, {"__text", "x"}}));
}

TEST(XmlTree, ChildrenCollapseToTheirText) {
  Value one = parse("<a><b>y</b></a>");
  EXPECT_EQ(one["b"], Value("y"));
  Value two = parse("<a><b>y</b><b>z</b></a>");
  EXPECT_EQ(two["b"], Value::array({"y", "z"}));
  Value mixed = parse("<a><b>y</b><b id=\"2\">z</b><b/></a>");
  ASSERT_EQ(mixed["b"].count(), 3u);
  EXPECT_EQ(mixed["b"][0], Value("y"));
  EXPECT_EQ(mixed["b"][1]["_id"], Value("2"));
  EXPECT_EQ(mixed["b"][2], Value::dictionary({{"__name", "b"}})) << "an empty element stays a node";
}

TEST(XmlTree, AttributesKeepTheNode) {
  Value v = parse("<a><b id=\"1\">y</b></a>");
  EXPECT_EQ(v["b"], Value::dictionary({{"__name", "b"}, {"_id", "1"}, {"__text", "y"}}));
  EXPECT_EQ(attributeForKey(v["b"], "id"), Value("1"));
  EXPECT_EQ(attributes(v["b"]), Value::dictionary({{"id", "1"}}));
  EXPECT_TRUE(attributes(v).isNone());
}

TEST(XmlTree, TextPiecesAndComments) {
  Value v = parse("<a>\n  one <b>x</b> two <!-- note --> three\n</a>");
  EXPECT_EQ(v["__text"], Value::array({"one", "two", "three"}));
  EXPECT_EQ(innerText(v), Value("one\ntwo\nthree"));
  EXPECT_EQ(comments(v), Value::array({" note "}));
  Value blank = parse("<a>\n  <b>x</b>\n  <c>y</c>\n</a>");
  EXPECT_TRUE(blank["__text"].isNone()) << "white-space-only text is discarded";
  Value cdata = parse("<a><![CDATA[<raw & text>]]></a>");
  EXPECT_EQ(cdata["__text"], Value("<raw & text>"));
  Value outside = parse("<!-- before --><a/>");
  EXPECT_TRUE(comments(outside).isNone());
}

TEST(XmlTree, ChildNodesAndName) {
  Value v = parse("<a k=\"v\"><b>1</b><c><d/></c></a>");
  EXPECT_EQ(nodeName(v), Value("a"));
  Value children = childNodes(v);
  ASSERT_EQ(children.count(), 2u);
  EXPECT_TRUE(children.contains("b"));
  EXPECT_TRUE(children.contains("c"));
}

TEST(XmlTree, Writing) {
  Value node = Value::dictionary({{"__name", "a"}, {"_k", "v"}, {"__text", "t<u"}});
  EXPECT_EQ(xmlString(node), "<a k=\"v\">t&lt;u</a>");
  EXPECT_EQ(xmlString(Value::dictionary()), "<root/>");
  EXPECT_EQ(XMLTreeParser::xmlStringForNode(Value::array({"x", "y"}), "b"), "<b>x</b>\n<b>y</b>");
  EXPECT_EQ(xmlEncodedString("a&b<c>\"d'"), "a&amp;b&lt;c&gt;&quot;d'");
  Value explicitAttributes =
      Value::dictionary({{"__name", "n"}, {"__attributes", Value::dictionary({{"x", "1"}})}});
  EXPECT_EQ(xmlString(explicitAttributes), "<n x=\"1\"/>");
  Value parsed = parse("<a><!--c--><b>1</b><b>2</b>t</a>");
  EXPECT_EQ(xmlString(parsed), "<a><!--c-->\n<b>1</b>\n<b>2</b>\nt</a>");
}

TEST(XmlTree, RejectedDocumentsGiveNoTree) {
  for (const char* bad : {"<a><b>x</a>", "<a>", "", "not xml", "<a></a><b/>"}) {
    Error error;
    EXPECT_TRUE(XMLTreeParser::dictionaryWithXMLString(bad, &error).isNone()) << bad;
    EXPECT_EQ(error.domain(), kXMLParserErrorDomain) << bad;
    EXPECT_FALSE(error.localizedDescription().empty()) << bad;
  }
}

TEST(XmlTree, ExternalEntitiesAreNotLoaded) {
  varnel::testing::TempDir tmp("xml-tree");
  const std::string path = tmp.file("secret");
  std::ofstream(path) << "SECRET";
  const std::string xml =
      std::string("<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e SYSTEM \"file://") + path +
      "\">]><a>&e;</a>";
  Error error;
  Value v = XMLTreeParser::dictionaryWithXMLString(xml, &error);
  EXPECT_EQ(v.description().find("SECRET"), std::string::npos);
}

TEST(XmlTree, DeepNestingIsRejected) {
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "<a>";
  for (int i = 0; i < 10000; ++i) deep += "</a>";
  Error error;
  EXPECT_TRUE(XMLTreeParser::dictionaryWithXMLString(deep, &error).isNone());
  EXPECT_EQ(error.code(), kXMLErrorCodeTooDeep);
}

TEST(XmlTree, HonoursTheDeclaredEncoding) {
  Value v = parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE9</a>");
  EXPECT_EQ(v["__text"], Value("\xC3\xA9"));
}

TEST(XmlTree, ReadsFiles) {
  varnel::testing::TempDir tmp("xml-tree");
  const std::string path = tmp.file("a.xml");
  std::ofstream(path) << "<a>x</a>";
  EXPECT_EQ(XMLTreeParser::dictionaryWithXMLFile(path)["__text"], Value("x"));
  Error error;
  EXPECT_TRUE(XMLTreeParser::dictionaryWithXMLFile("/nonexistent/x.xml", &error).isNone());
  EXPECT_FALSE(error.isNone());
}

}  // namespace
}  // namespace codecs
