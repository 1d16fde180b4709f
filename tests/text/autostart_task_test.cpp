// The autostart texts: the Run value's line and the logon task's definition
// must name the same command, and no path can break out of the XML.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "testtext.h"
#include "text/autostart_task.h"

namespace {

std::string Line(const char* path, int automatic, unsigned long long number, unsigned long cap = 512) {
  std::vector<wch> out(cap + 1, (wch)0x7777);
  const wstr16 p = U16(path);
  const unsigned long n = ComposeAutostartLine(out.data(), cap, p.c_str(), automatic, number);
  EXPECT_EQ(0x7777, out[cap]) << "wrote past the buffer";
  EXPECT_EQ(0, out[n]);
  return Utf8(out.data());
}

std::string Xml(const char* path, int automatic, unsigned long long number, unsigned long cap = 8192) {
  std::vector<wch> out(cap + 1, (wch)0x7777);
  const wstr16 p = U16(path);
  const unsigned long n = ComposeAutostartTaskXml(out.data(), cap, p.c_str(), automatic, number);
  EXPECT_EQ(0x7777, out[cap]) << "wrote past the buffer";
  EXPECT_EQ(0, out[n]);
  return Utf8(out.data());
}

// The text between <tag> and </tag>, which must occur exactly once.
std::string Element(const std::string& xml, const std::string& tag) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const size_t a = xml.find(open);
  if (a == std::string::npos || xml.find(open, a + 1) != std::string::npos) return "<missing or repeated>";
  const size_t b = xml.find(close, a);
  if (b == std::string::npos) return "<unclosed>";
  return xml.substr(a + open.size(), b - a - open.size());
}

std::string Unescape(std::string s) {
  const char* entities[][2] = {{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}};
  for (auto& e : entities)
    for (size_t at; (at = s.find(e[0])) != std::string::npos;) s.replace(at, strlen(e[0]), e[1]);
  return s;
}

TEST(AutostartLine, QuotedPathOptionAndNumber) {
  EXPECT_EQ("\"C:\\Program Files\\Quorlin\\Quorlin_x64U.exe\" /AutoSync 0",
            Line("C:\\Program Files\\Quorlin\\Quorlin_x64U.exe", 1, 0));
  EXPECT_EQ("\"C:\\Q\\Quorlin_x86U.exe\" /CycleSync 30", Line("C:\\Q\\Quorlin_x86U.exe", 0, 30));
  EXPECT_EQ("\"Quorlin_x64U.exe\" /AutoSync 90", Line("Quorlin_x64U.exe", 1, 90));
}

TEST(AutostartLine, ALineThatDoesNotFitIsRefusedWhole) {
  // 17 units for "\"a\" /CycleSync 10": a cut line would start another command.
  EXPECT_EQ("\"a\" /CycleSync 10", Line("a", 0, 10, 18));
  EXPECT_EQ("", Line("a", 0, 10, 17));
  EXPECT_EQ("", Line("a", 0, 10, 1));
  EXPECT_EQ("", Line(std::string(600, 'x').c_str(), 1, 0));
}

TEST(AutostartTask, LogonTriggerHighestRunLevelAndNoTimeLimit) {
  const std::string xml = Xml("C:\\Q\\Quorlin_x64U.exe", 1, 0);
  EXPECT_EQ(0u, xml.find("<?xml version=\"1.0\" encoding=\"UTF-16\"?>")) << xml;
  EXPECT_NE(std::string::npos, xml.find("xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\""));
  EXPECT_EQ("\r\n      <Enabled>true</Enabled>\r\n    ", Element(Element(xml, "Triggers"), "LogonTrigger"));
  EXPECT_EQ("HighestAvailable", Element(xml, "RunLevel"));
  EXPECT_EQ("S-1-5-32-545", Element(xml, "GroupId"));   // every user who logs on
  EXPECT_EQ("PT0S", Element(xml, "ExecutionTimeLimit"));  // periodic mode runs on
  EXPECT_EQ("false", Element(xml, "DisallowStartIfOnBatteries"));
  // A second user who logs on while the first one's copy runs gets a copy too.
  EXPECT_EQ("Parallel", Element(xml, "MultipleInstancesPolicy"));
  // The action runs as the principal declared above.
  EXPECT_NE(std::string::npos, xml.find("<Principal id=\"Users\">"));
  EXPECT_NE(std::string::npos, xml.find("<Actions Context=\"Users\">"));
  EXPECT_EQ("</Task>\r\n", xml.substr(xml.size() - 9));
}

TEST(AutostartTask, CommandAndArgumentsReadAsTheRunValue) {
  const char* paths[] = {"C:\\Program Files\\Quorlin\\Quorlin_x64U.exe", "D:\\时间\\Quorlin_x86U.exe",
                         "Quorlin_x64U.exe"};
  for (const char* path : paths) {
    for (int automatic = 0; automatic <= 1; ++automatic) {
      const unsigned long long number = automatic ? 40 : 90;
      const std::string xml = Xml(path, automatic, number);
      const std::string command = Unescape(Element(xml, "Command")), arguments = Element(xml, "Arguments");
      EXPECT_EQ(Line(path, automatic, number), command + " " + arguments) << xml;
    }
  }
}

TEST(AutostartTask, MarkupInThePathStaysCharacterData) {
  const char* path = "C:\\R&D <new>\\\"x\"\\Quorlin_x64U.exe";
  const std::string xml = Xml(path, 0, 10);
  EXPECT_EQ("&quot;C:\\R&amp;D &lt;new&gt;\\&quot;x&quot;\\Quorlin_x64U.exe&quot;", Element(xml, "Command"));
  EXPECT_EQ("\"" + std::string(path) + "\"", Unescape(Element(xml, "Command")));
  // Nothing of the path reaches the markup: the only tags are the template's.
  const std::string plain = Xml("C:\\plain", 0, 10);
  EXPECT_EQ(std::count(plain.begin(), plain.end(), '<'), std::count(xml.begin(), xml.end(), '<'));
}

TEST(AutostartTask, ADefinitionThatDoesNotFitIsRefusedWhole) {
  const std::string full = Xml("C:\\Q\\Quorlin_x64U.exe", 1, 0);
  EXPECT_EQ(full, Xml("C:\\Q\\Quorlin_x64U.exe", 1, 0, (unsigned long)full.size() + 1));
  EXPECT_EQ("", Xml("C:\\Q\\Quorlin_x64U.exe", 1, 0, (unsigned long)full.size()));
  wch untouched = 0x7777;
  EXPECT_EQ(0u, ComposeAutostartTaskXml(&untouched, 0, U16("C:\\Q").c_str(), 1, 0));
  EXPECT_EQ(0x7777, untouched);
  // A path of the longest kind, every character escaped, fits the program's buffer.
  std::vector<wch> out(AUTOSTART_XML_CHARS);
  std::vector<wch> path(32767, (wch)'&');
  path.push_back(0);
  EXPECT_GT(ComposeAutostartTaskXml(out.data(), AUTOSTART_XML_CHARS, path.data(), 0, 90), 5u * 32767);
}

}  // namespace
