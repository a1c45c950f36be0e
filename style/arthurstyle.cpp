// Placeholder until the style lands: plain "Windows" look.
#include "arthurstyle.h"

#include <QStyleFactory>

ArthurStyle::ArthurStyle() : QProxyStyle(QStyleFactory::create("Windows")) {}
