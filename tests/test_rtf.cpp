#include "rtf_reader.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace
{
// The text of the HTML with tags removed and entities kept, paragraphs as '|'.
std::string TextOf(const std::string& html)
{
    std::string text = std::regex_replace(html, std::regex("</p>\\s*"), "|");
    text = std::regex_replace(text, std::regex("<[^>]*>"), "");
    return text;
}

TEST(Rtf, TextParagraphsAndEscapes)
{
    const std::string html = RtfToHtml("{\\rtf1\\ansi First line\\line second\\par Caf\\'e9 \\{x\\} \\\\ "
                                       "a\\tab b\\par \\u8364?\\uc2\\u8212 xx done\\par}");
    EXPECT_EQ(TextOf(html), "First linesecond|Caf\xC3\xA9 {x} \\ a&nbsp;&nbsp;&nbsp;&nbsp;b|"
                            "\xE2\x82\xAC\xE2\x80\x94 done|&nbsp;|");
    EXPECT_NE(html.find("First line<br/>second"), std::string::npos);
}

TEST(Rtf, CharacterFormatsFontsAndColours)
{
    const std::string html = RtfToHtml("{\\rtf1{\\fonttbl{\\f0\\fswiss Arial;}{\\f1 Courier New;}}"
                                       "{\\colortbl;\\red255\\green0\\blue0;}"
                                       "\\f1\\fs28 {\\b\\i\\ul\\cf1 Loud} quiet\\par}");
    EXPECT_NE(html.find("<span style=\"font-weight:bold;font-style:italic;text-decoration:underline;"
                        "font-size:14pt;color:#ff0000;font-family:'Courier New';\">Loud</span>"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<span style=\"font-size:14pt;font-family:'Courier New';\"> quiet</span>"),
              std::string::npos)
        << html;
    EXPECT_EQ(html.find("Arial;"), std::string::npos); // the table is not text
}

TEST(Rtf, AlignmentAndSkippedDestinations)
{
    const std::string html =
        RtfToHtml("{\\rtf1{\\info{\\title Secret}}{\\*\\generator Writer;}{\\stylesheet{x}}"
                  "\\qc Centred\\par\\pard Left\\par{\\*\\unknown dropped}kept\\par}");
    EXPECT_EQ(TextOf(html), "Centred|Left|kept|&nbsp;|");
    EXPECT_NE(html.find("align=\"center\">"), std::string::npos);
}

TEST(Rtf, LinesInTabColumnsAreNotWrapped)
{
    const std::string html =
        RtfToHtml("{\\rtf1 Prose that may wrap.\\par\\tab Label:\\tab host.example port 443\\par "
                  "After the columns.\\par}");
    const std::regex paragraph("<p style=\"([^\"]*)\"[^>]*>");
    std::vector<std::string> styles;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), paragraph); it != std::sregex_iterator();
         ++it)
        styles.push_back((*it)[1]);
    const std::string plain = "margin-top:0px;margin-bottom:0px;";
    EXPECT_EQ(styles, (std::vector<std::string>{plain, plain + "white-space:nowrap;", plain, plain})) << html;
}

TEST(Rtf, HtmlInTheTextStaysText)
{
    const std::string html = RtfToHtml("{\\rtf1 <b>&\"</b>}");
    EXPECT_NE(html.find("&lt;b&gt;&amp;&quot;&lt;/b&gt;"), std::string::npos);
}

TEST(Rtf, DamagedInputShowsWhatCouldBeRead)
{
    EXPECT_EQ(TextOf(RtfToHtml("{\\rtf1 start {\\b bold")), "start bold|");
    EXPECT_EQ(TextOf(RtfToHtml("}}} text {")), " text |");
    EXPECT_EQ(TextOf(RtfToHtml("{\\rtf1 \\'z9 \\u \\")), "z9 |");
    const std::string deep = std::string(100000, '{') + "deep" + std::string(100000, '}');
    EXPECT_NE(TextOf(RtfToHtml(deep)).find("deep"), std::string::npos);
    EXPECT_NE(RtfToHtml(std::string("\0\xff\x80{\\fs99999999999999}", 22)).find("</html>"),
              std::string::npos);
    EXPECT_EQ(RtfToHtml(""), "<html><body><p style=\"margin-top:0px;margin-bottom:0px;\" "
                             "align=\"left\">&nbsp;</p>\n</body></html>");
}
} // namespace
