#ifndef KELTO_CLI_PROGRESSDISPLAY_H
#define KELTO_CLI_PROGRESSDISPLAY_H

#include <QString>
#include <QTextStream>

namespace kelto::cli {

// Text lines and progress of a long operation on one stream. On a terminal
// the progress is one bar redrawn in place, which each text line clears; in
// a log it is a plain "PHASE N%" line at every tenth.
class ProgressDisplay
{
public:
    ProgressDisplay(QTextStream &out, bool terminal);

    void line(const QString &text);
    void progress(const QString &phase, int percent);
    // Takes the bar off the screen.
    void close();

private:
    void clearBar();

    QTextStream &out;
    bool terminal;
    bool barShown = false;
    QString phase;
    int lastShown = -1;
};

} // namespace kelto::cli

#endif
