// Appending history lines through AddToHistory into the real control: the
// cost per line after 1 000 lines against the cost after 20 000 lines.
#include "kestavane_dlg.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace
{
// Milliseconds per line over `count` lines, appended after the history already holds `before`.
double MsPerLine(CKestavaneDlg& dlg, int before, int count)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        AddToHistory(&dlg, "%-30s%s %d", "Key exchange strength:", "a line of a typical report", before + i);
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / count;
}

// The median over five windows of 100 lines, taken around `around` lines.
double MedianMsPerLine(CKestavaneDlg& dlg, int& written, int around)
{
    const int fill = around - 250 - written;
    MsPerLine(dlg, written, fill);
    written += fill;
    std::vector<double> windows;
    for (int i = 0; i < 5; ++i)
    {
        windows.push_back(MsPerLine(dlg, written, 100));
        written += 100;
    }
    std::sort(windows.begin(), windows.end());
    return windows[2];
}
} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    CKestavaneDlg dlg;
    dlg.show();

    int written = 0;
    const double at1000 = MedianMsPerLine(dlg, written, 1000);
    const double at20000 = MedianMsPerLine(dlg, written, 20000);
    std::printf("per line at 1 000 lines: %.4f ms\nper line at 20 000 lines: %.4f ms\nratio: %.2fx\n", at1000,
                at20000, at20000 / at1000);
    return 0;
}
