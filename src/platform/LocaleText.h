#pragma once

#include "DateTime.h"

#include <QLocale>
#include <QString>

// The locale's date-and-time text, written and read through one tokenised pattern (the locale's short date with a
// four-digit year, a blank, its long time without the zone). Reading is ours rather than Qt's because Qt's parser
// cannot read back what its formatter writes in some locales (digits outside the basic plane, day-period words with
// blanks); one pattern on both sides makes the round trip exact in every locale.
QString FormatLocaleDateTime(const QLocale& locale, TDateTime value, bool withTime);
// Whether that text shows the milliseconds; when not, every moment of one second has the same text.
bool LocaleTextShowsMilliseconds(const QLocale& locale, bool withTime);
bool ParseLocaleDateTime(const QLocale& locale, const QString& text, bool withTime, TDateTime& value);
