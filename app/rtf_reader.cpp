#include "rtf_reader.h"

#include "utf8.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
constexpr size_t kMaxDepth = 256;

enum class Destination
{
    Text,
    FontTable,
    ColorTable,
    Skip
};

struct CharFormat
{
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = 0; // 0: the page's default size
    int color = -1;
    int font = -1;
    bool operator==(const CharFormat&) const = default;
};

struct State
{
    CharFormat format;
    Destination destination = Destination::Text;
    int unicodeSkip = 1; // \uc: characters that stand for a \u character
};

// Windows-1252 bytes 0x80-0x9F; the rest of the code page is Latin-1.
const char16_t kCp1252High[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                  0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

uint32_t FromCp1252(unsigned char byte)
{
    return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
}

bool IsSkippedDestination(const std::string& word)
{
    static const char* const kSkipped[] = {"stylesheet", "info",
                                           "pict",       "header",
                                           "headerl",    "headerr",
                                           "headerf",    "footer",
                                           "footerl",    "footerr",
                                           "footerf",    "object",
                                           "fldinst",    "themedata",
                                           "listtable",  "listoverridetable",
                                           "rsidtbl",    "generator",
                                           "xmlnstbl",   "latentstyles",
                                           "datastore",  "colorschememapping",
                                           "filetbl",    "revtbl",
                                           "pgdsctbl",   "footnote",
                                           "annotation", "bkmkstart",
                                           "bkmkend",    "nonshppict",
                                           "shppict",    "mmathPr",
                                           "userprops",  "template",
                                           "docvar",     "wgrffmtfilter",
                                           "pnseclvl"};
    for (const char* skipped : kSkipped)
        if (word == skipped)
            return true;
    return false;
}

class Reader
{
public:
    explicit Reader(std::string_view rtf) : m_in(rtf) { m_stack.reserve(32); }

    std::string Run()
    {
        State state;
        while (m_at < m_in.size())
        {
            const char c = m_in[m_at++];
            if (c == '{')
            {
                if (m_stack.size() < kMaxDepth)
                    m_stack.push_back(state);
                else
                    ++m_overflow;
                m_groupStart = true;
                continue;
            }
            if (c == '}')
            {
                if (m_overflow > 0)
                    --m_overflow;
                else if (!m_stack.empty())
                {
                    EndGroup(state);
                    state = m_stack.back();
                    m_stack.pop_back();
                }
                m_groupStart = false;
                continue;
            }
            if (c == '\\')
            {
                ControlSequence(state);
                m_groupStart = false;
                continue;
            }
            m_groupStart = false;
            if (c == '\r' || c == '\n')
                continue;
            Character(state, FromCp1252(static_cast<unsigned char>(c)));
        }
        EndParagraph();
        std::string html = "<html><body>";
        html += m_body;
        html += "</body></html>";
        return html;
    }

private:
    void ControlSequence(State& state)
    {
        if (m_at >= m_in.size())
            return;
        const char c = m_in[m_at];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        {
            std::string word;
            while (m_at < m_in.size() && word.size() < 32 &&
                   ((m_in[m_at] >= 'a' && m_in[m_at] <= 'z') || (m_in[m_at] >= 'A' && m_in[m_at] <= 'Z')))
                word += m_in[m_at++];
            bool hasParam = false;
            bool negative = false;
            long param = 0;
            if (m_at < m_in.size() && m_in[m_at] == '-')
            {
                negative = true;
                ++m_at;
            }
            for (int digits = 0; m_at < m_in.size() && m_in[m_at] >= '0' && m_in[m_at] <= '9'; ++m_at)
            {
                hasParam = true;
                if (++digits <= 10)
                    param = param * 10 + (m_in[m_at] - '0');
            }
            if (negative)
                param = -param;
            if (m_at < m_in.size() && m_in[m_at] == ' ')
                ++m_at;
            ControlWord(state, word, hasParam, param);
            return;
        }
        ++m_at;
        switch (c)
        {
        case '\'':
        {
            int value = 0;
            int digits = 0;
            for (; digits < 2 && m_at < m_in.size(); ++digits, ++m_at)
            {
                const char h = m_in[m_at];
                const int v = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                     : -1;
                if (v < 0)
                    break;
                value = value * 16 + v;
            }
            if (digits > 0)
                Character(state, FromCp1252(static_cast<unsigned char>(value)));
            return;
        }
        case '*':
            state.destination = Destination::Skip; // an optional destination we do not know
            return;
        case '{':
        case '}':
        case '\\': Character(state, static_cast<unsigned char>(c)); return;
        case '~': Character(state, 0xA0); return;
        case '_': Character(state, '-'); return;
        case '\r':
        case '\n':
            if (state.destination == Destination::Text)
                EndParagraph();
            return;
        default: return; // \- and other symbols show nothing
        }
    }

    void ControlWord(State& state, const std::string& word, bool hasParam, long param)
    {
        const bool on = !hasParam || param != 0;
        if (word == "fonttbl")
        {
            state.destination = Destination::FontTable;
            return;
        }
        if (word == "colortbl")
        {
            state.destination = Destination::ColorTable;
            m_red = m_green = m_blue = 0;
            return;
        }
        if (m_groupStart && IsSkippedDestination(word))
        {
            state.destination = Destination::Skip;
            return;
        }
        if (state.destination == Destination::Skip)
            return;
        if (state.destination == Destination::ColorTable)
        {
            const int v = static_cast<int>(param < 0 ? 0 : param > 255 ? 255 : param);
            if (word == "red")
                m_red = v;
            else if (word == "green")
                m_green = v;
            else if (word == "blue")
                m_blue = v;
            return;
        }
        if (state.destination == Destination::FontTable)
        {
            if (word == "f" && hasParam)
            {
                m_fontIndex = param;
                m_fontName.clear();
            }
            return;
        }
        if (m_pendingSkip > 0 && word != "u")
        {
            --m_pendingSkip;
            return;
        }

        CharFormat& f = state.format;
        if (word == "par")
            EndParagraph();
        else if (word == "line")
            Emit(state, "<br/>");
        else if (word == "tab")
        {
            Emit(state, "&nbsp;&nbsp;&nbsp;&nbsp;");
            m_paragraphTabbed = true;
        }
        else if (word == "b")
            f.bold = on;
        else if (word == "i")
            f.italic = on;
        else if (word == "ul")
            f.underline = on;
        else if (word == "ulnone")
            f.underline = false;
        else if (word == "fs" && hasParam)
            f.halfPoints = param > 0 && param <= 3276 ? static_cast<int>(param) : 0;
        else if (word == "cf" && hasParam)
            f.color = param >= 0 && param < 4096 ? static_cast<int>(param) : -1;
        else if (word == "f" && hasParam)
            f.font = param >= 0 && param < 65536 ? static_cast<int>(param) : -1;
        else if (word == "plain")
            f = CharFormat{};
        else if (word == "pard")
            m_align = "left";
        else if (word == "ql")
            m_align = "left";
        else if (word == "qc")
            m_align = "center";
        else if (word == "qr")
            m_align = "right";
        else if (word == "qj")
            m_align = "justify";
        else if (word == "uc" && hasParam)
            state.unicodeSkip = param >= 0 && param < 16 ? static_cast<int>(param) : 1;
        else if (word == "u" && hasParam)
        {
            Character(state, static_cast<uint32_t>(param < 0 ? param + 65536 : param));
            m_pendingSkip = state.unicodeSkip;
        }
        else if (word == "emdash")
            Character(state, 0x2014);
        else if (word == "endash")
            Character(state, 0x2013);
        else if (word == "bullet")
            Character(state, 0x2022);
        else if (word == "lquote")
            Character(state, 0x2018);
        else if (word == "rquote")
            Character(state, 0x2019);
        else if (word == "ldblquote")
            Character(state, 0x201C);
        else if (word == "rdblquote")
            Character(state, 0x201D);
    }

    void Character(State& state, uint32_t cp)
    {
        switch (state.destination)
        {
        case Destination::Skip: return;
        case Destination::ColorTable:
            if (cp == ';' && m_colors.size() < 4096)
            {
                char color[8];
                std::snprintf(color, sizeof color, "#%02x%02x%02x", m_red, m_green, m_blue);
                m_colors.push_back(
                    m_colorEntries++ == 0 && m_red == 0 && m_green == 0 && m_blue == 0 ? "" : color);
                m_red = m_green = m_blue = 0;
            }
            return;
        case Destination::FontTable:
            if (cp == ';')
            {
                if (m_fontIndex >= 0 && m_fontIndex < 65536 && m_fonts.size() < 4096)
                {
                    if (static_cast<size_t>(m_fontIndex) >= m_fonts.size())
                        m_fonts.resize(static_cast<size_t>(m_fontIndex) + 1);
                    m_fonts[static_cast<size_t>(m_fontIndex)] = m_fontName;
                }
                m_fontName.clear();
            }
            else if (m_fontName.size() < 128)
                AppendUtf8(m_fontName, cp);
            return;
        case Destination::Text: break;
        }
        if (m_pendingSkip > 0)
        {
            --m_pendingSkip;
            return;
        }
        std::string text;
        switch (cp)
        {
        case '&': text = "&amp;"; break;
        case '<': text = "&lt;"; break;
        case '>': text = "&gt;"; break;
        case '"': text = "&quot;"; break;
        case 0xA0: text = "&nbsp;"; break;
        default: AppendUtf8(text, cp == 0 ? 0xFFFD : cp);
        }
        Emit(state, text);
    }

    void Emit(const State& state, const std::string& html)
    {
        if (state.destination != Destination::Text)
            return;
        if (!m_spanOpen || !(m_spanFormat == state.format))
        {
            CloseSpan();
            OpenSpan(state.format);
        }
        m_paragraph += html;
        m_paragraphEmpty = false;
    }

    void OpenSpan(const CharFormat& f)
    {
        std::string style;
        if (f.bold)
            style += "font-weight:bold;";
        if (f.italic)
            style += "font-style:italic;";
        if (f.underline)
            style += "text-decoration:underline;";
        if (f.halfPoints > 0)
            style += "font-size:" + std::to_string(f.halfPoints / 2) + (f.halfPoints % 2 ? ".5" : "") + "pt;";
        if (f.color >= 0 && static_cast<size_t>(f.color) < m_colors.size() &&
            !m_colors[static_cast<size_t>(f.color)].empty())
            style += "color:" + m_colors[static_cast<size_t>(f.color)] + ";";
        if (f.font >= 0 && static_cast<size_t>(f.font) < m_fonts.size() &&
            !m_fonts[static_cast<size_t>(f.font)].empty())
        {
            std::string name;
            for (char c : m_fonts[static_cast<size_t>(f.font)])
                if (c != '\'' && c != '"' && c != '<' && c != '>' && c != '&' && c != ';')
                    name += c;
            style += "font-family:'" + name + "';";
        }
        m_paragraph += "<span style=\"" + style + "\">";
        m_spanOpen = true;
        m_spanFormat = f;
    }

    void CloseSpan()
    {
        if (m_spanOpen)
            m_paragraph += "</span>";
        m_spanOpen = false;
    }

    void EndParagraph()
    {
        CloseSpan();
        // A line laid out in tab columns (a host and its port) is not broken
        // by wrapping; prose paragraphs wrap to the page.
        m_body += m_paragraphTabbed
                      ? "<p style=\"margin-top:0px;margin-bottom:0px;white-space:nowrap;\" align=\""
                      : "<p style=\"margin-top:0px;margin-bottom:0px;\" align=\"";
        m_body += m_align + "\">";
        m_body += m_paragraphEmpty ? "&nbsp;" : m_paragraph;
        m_body += "</p>\n";
        m_paragraph.clear();
        m_paragraphEmpty = true;
        m_paragraphTabbed = false;
    }

    // A font entry may end with its group instead of a semicolon.
    void EndGroup(State& state)
    {
        if (state.destination == Destination::FontTable && !m_fontName.empty())
            Character(state, ';');
    }

    std::string_view m_in;
    size_t m_at = 0;
    std::vector<State> m_stack;
    size_t m_overflow = 0;
    bool m_groupStart = false;
    int m_pendingSkip = 0;

    std::vector<std::string> m_fonts;
    long m_fontIndex = -1;
    std::string m_fontName;
    std::vector<std::string> m_colors;
    int m_colorEntries = 0;
    int m_red = 0, m_green = 0, m_blue = 0;

    std::string m_body;
    std::string m_paragraph;
    bool m_paragraphEmpty = true;
    bool m_paragraphTabbed = false;
    bool m_spanOpen = false;
    CharFormat m_spanFormat;
    std::string m_align = "left";
};
} // namespace

std::string RtfToHtml(std::string_view rtf) { return Reader(rtf).Run(); }
