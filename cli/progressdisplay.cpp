#include "progressdisplay.h"

#include <algorithm>

namespace kelto::cli {

namespace {

constexpr int barWidth = 40;
// Carriage return and erase to the end of the line.
const char eraseLine[] = "\r\x1b[K";

} // namespace

ProgressDisplay::ProgressDisplay(QTextStream &out, bool terminal)
    : out(out)
    , terminal(terminal)
{
}

void ProgressDisplay::line(const QString &text)
{
    clearBar();
    out << text << "\n";
    out.flush();
}

void ProgressDisplay::progress(const QString &name, int percent)
{
    percent = std::clamp(percent, 0, 100);
    const bool newPhase = name != phase;
    phase = name;
    if (terminal) {
        if (!newPhase && percent == lastShown)
            return;
        lastShown = percent;
        const int filled = percent * barWidth / 100;
        out << eraseLine << phase.leftJustified(22) << " [" << QString(filled, '#')
            << QString(barWidth - filled, '.') << "] " << QString::number(percent).rightJustified(3)
            << "%";
        out.flush();
        barShown = true;
        return;
    }
    const int tenth = percent / 10;
    if (!newPhase && tenth * 10 == lastShown)
        return;
    lastShown = tenth * 10;
    out << phase << " " << percent << "%\n";
    out.flush();
}

void ProgressDisplay::close()
{
    clearBar();
}

void ProgressDisplay::clearBar()
{
    if (!barShown)
        return;
    out << eraseLine;
    out.flush();
    barShown = false;
}

} // namespace kelto::cli
