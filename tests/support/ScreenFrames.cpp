#include "support/ScreenFrames.hpp"

#include <random>

#include "ScrivelCore/TextMatcher.hpp"
#include "ScrivelCore/UnicodeText.hpp"

namespace scrivel::testing {

namespace {

const std::vector<std::string> kEnglish = {
    "Your order has shipped and will arrive on Thursday",
    "Meeting notes for the quarterly planning review",
    "Settings", "Notifications are turned off for this workspace",
    "Last edited 3 minutes ago by Dana", "Search messages, files and people",
    "Invoice #20931 is due in 14 days", "Draft saved", "Share this document with your team",
    "Two-factor authentication is enabled", "Storage used: 12.4 GB of 15 GB",
    "Reply all", "Download the latest release notes", "Open in new window",
};
const std::vector<std::string> kSimplified = {
    "会议记录：下午三点在二楼开会", "请在周五之前提交报告", "设置", "您的订单已发货", "搜索文件和联系人",
    "系统将于今晚十点进行维护", "已保存草稿", "共享给团队成员", "最近编辑于三分钟前", "通知已关闭",
};
const std::vector<std::string> kTraditional = {
    "會議記錄：下午三點在二樓開會", "請在週五之前提交報告", "您的訂單已發貨", "搜尋檔案和聯絡人",
    "系統將於今晚十點進行維護", "已儲存草稿", "分享給團隊成員", "最近編輯於三分鐘前",
};
const std::vector<std::string> kCode = {
    "const int retries = 3;", "if (user.email) send(user);", "return items.size() > 0;",
    "for (auto& line : lines) {", "git commit -m \"fix: parser\"", "let total = price * qty;",
    "SELECT id, name FROM users;", "print(f\"{count} rows\")",
};
const std::vector<std::string> kFirst = {"alice", "bob", "chen.wei", "dana", "li_na", "m.garcia", "omar", "zhang3"};
const std::vector<std::string> kDomain = {"example.com", "mail.example.org", "corp-net.io", "example.co.uk",
                                          "qq.com", "university.edu"};
const std::vector<std::string> kPhones = {
    "+1 (415) 555-0199", "+44 20 7946 0958", "138 0013 8000", "(02) 2345-6789", "+86 138-0013-8000",
    "+49 30 901820", "555-867-5309", "+81 3-1234-5678",
};

template <typename T>
const T& pick(std::mt19937& rng, const std::vector<T>& items)
{
    return items[std::uniform_int_distribution<std::size_t>(0, items.size() - 1)(rng)];
}

std::string email(std::mt19937& rng)
{
    std::string local = pick(rng, kFirst);
    if (rng() % 3 == 0)
        local += std::to_string(rng() % 100);
    if (rng() % 5 == 0)
        local += "+news";
    return local + "@" + pick(rng, kDomain);
}

struct Content {
    std::string text;
    Font font;
};

Content makeLine(std::mt19937& rng)
{
    Content c{"", Font::sans};
    auto place = [&](const std::string& before, const std::string& middle, const std::string& after) {
        c.text = before + middle + after;
    };
    switch (rng() % 9) {
    case 0:
    case 1: c.text = pick(rng, kEnglish); break;
    case 2: c.text = pick(rng, kSimplified); c.font = Font::simplifiedChinese; break;
    case 3: c.text = pick(rng, kTraditional); c.font = Font::traditionalChinese; break;
    case 4: c.text = pick(rng, kCode); c.font = Font::mono; break;
    case 5: place(pick(rng, std::vector<std::string>{"Contact: ", "From: ", "Send to ", ""}), email(rng),
                  pick(rng, std::vector<std::string>{"", " today", " (work)"}));
        break;
    case 6: place(pick(rng, std::vector<std::string>{"Call ", "Phone: ", "Tel ", ""}), pick(rng, kPhones),
                  pick(rng, std::vector<std::string>{"", " ext. 12", " now"}));
        break;
    case 7: place("联系邮箱：", email(rng), ""); c.font = Font::simplifiedChinese; break;
    default: place("電話：", pick(rng, kPhones), ""); c.font = Font::traditionalChinese; break;
    }
    return c;
}

} // namespace

ScreenFrame makeScreenFrame(std::uint32_t seed, int width, int height)
{
    std::mt19937 rng(seed);
    ScreenFrame frame;
    frame.dark = seed % 2 == 1;
    const cv::Scalar background = frame.dark ? cv::Scalar(36, 32, 30) : cv::Scalar(252, 252, 250);
    const std::vector<cv::Scalar> inks = frame.dark
        ? std::vector<cv::Scalar>{{230, 230, 230}, {200, 200, 190}, {255, 200, 140}}
        : std::vector<cv::Scalar>{{30, 30, 30}, {90, 90, 90}, {160, 90, 20}};
    TextCanvas canvas(width, height, background);
    // A sidebar band in a slightly different shade, as in most UIs.
    canvas.fill({0, 0, width / 5, height}, frame.dark ? cv::Scalar(48, 44, 42) : cv::Scalar(240, 240, 238));

    const int columns[] = {24, width / 5 + 40, width * 3 / 5};
    const int columnWidth[] = {width / 5 - 40, width * 2 / 5 - 60, width * 2 / 5 - 60};
    for (int column = 0; column < 3; ++column) {
        int y = 40;
        while (true) {
            const int px = std::uniform_int_distribution<int>(12, 20)(rng);
            y += px * 2 + static_cast<int>(rng() % 12);
            if (y > height - 20)
                break;
            Content c = makeLine(rng);
            if (canvas.advance(c.text, px, c.font) > columnWidth[column])
                continue; // does not fit this column
            const cv::Point at(columns[column], y);
            DrawnLine line;
            line.text = c.text;
            line.font = c.font;
            line.pixelHeight = px;
            line.ink = canvas.draw(c.text, at, px, c.font, pick(rng, inks));
            // The spans a scan should find are what the matcher finds in the drawn text.
            ScanSettings all;
            all.blurEmails = all.blurPhones = all.blurHan = true;
            const auto clusters = unicode::graphemeClusters(c.text);
            for (const auto& m : TextMatcher::matches(c.text, all)) {
                const std::size_t b = clusters[m.range.lower].utf8Offset;
                const std::size_t e = m.range.upper < clusters.size() ? clusters[m.range.upper].utf8Offset
                                                                      : c.text.size();
                DrawnSpan span{c.text.substr(b, e - b), canvas.inkOf(c.text, b, e, at, px, c.font)};
                auto& list = m.kind == RedactionKind::email ? line.emails
                    : m.kind == RedactionKind::phone        ? line.phones
                                                            : line.hanRuns;
                list.push_back(std::move(span));
            }
            frame.lines.push_back(std::move(line));
        }
    }
    frame.image = canvas.image();
    return frame;
}

} // namespace scrivel::testing
