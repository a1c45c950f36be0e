#ifndef KELTO_STYLE_ARTHURSTYLE_H
#define KELTO_STYLE_ARTHURSTYLE_H

#include <QProxyStyle>

// The program's image-based widget style, over Qt's "Windows" style.
class ArthurStyle : public QProxyStyle
{
    Q_OBJECT

public:
    ArthurStyle();
};

#endif
