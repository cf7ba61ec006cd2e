#include "LocaleText.h"

#include <QRegularExpression>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Token {
    enum Kind { Literal, Day, DayName, Month, MonthName, Year, Hour12, Hour24, Minute, Second, Millisecond, DayPeriod };
    Kind kind = Literal;
    int width = 1;   // digits written at least (numbers), or 1 = short / 2 = long (names)
    QString literal; // Literal only
    bool upper = false;
};

void AppendLiteral(std::vector<Token>& tokens, const QString& text) {
    if (!tokens.empty() && tokens.back().kind == Token::Literal) {
        tokens.back().literal += text;
    } else {
        tokens.push_back(Token{Token::Literal, 0, text, false});
    }
}

// Splits one of Qt's date or time format strings into tokens.
void Tokenise(const QString& format, std::vector<Token>& tokens) {
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            const qsizetype close = format.indexOf(QLatin1Char('\''), i + 1);
            if (close == i + 1) {
                AppendLiteral(tokens, QStringLiteral("'"));
                i += 2;
                continue;
            }
            const qsizetype end = close < 0 ? format.size() : close;
            AppendLiteral(tokens, format.mid(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        qsizetype run = 1;
        while (i + run < format.size() && format[i + run] == c) {
            ++run;
        }
        const int n = static_cast<int>(run);
        switch (c.unicode()) {
        case 'd':
            tokens.push_back(n <= 2 ? Token{Token::Day, n, {}, false}
                                    : Token{Token::DayName, n == 3 ? 1 : 2, {}, false});
            break;
        case 'M':
            tokens.push_back(n <= 2 ? Token{Token::Month, n, {}, false}
                                    : Token{Token::MonthName, n == 3 ? 1 : 2, {}, false});
            break;
        case 'y':
            tokens.push_back(Token{Token::Year, 4, {}, false}); // any year is written whole
            break;
        case 'h':
            tokens.push_back(Token{Token::Hour12, std::min(n, 2), {}, false});
            break;
        case 'H':
            tokens.push_back(Token{Token::Hour24, std::min(n, 2), {}, false});
            break;
        case 'm':
            tokens.push_back(Token{Token::Minute, std::min(n, 2), {}, false});
            break;
        case 's':
            tokens.push_back(Token{Token::Second, std::min(n, 2), {}, false});
            break;
        case 'z':
            tokens.push_back(Token{Token::Millisecond, 3, {}, false});
            break;
        case 't':
            break; // the time zone is not part of the text
        case 'a':
        case 'A': {
            const bool pair = i + 1 < format.size() && format[i + 1].toLower() == QLatin1Char('p');
            tokens.push_back(Token{Token::DayPeriod, 1, {}, c == QLatin1Char('A')});
            i += pair ? 2 : 1;
            continue;
        }
        default:
            AppendLiteral(tokens, format.mid(i, run));
            break;
        }
        i += run;
    }
}

std::vector<Token> MakePattern(const QLocale& locale, bool withTime) {
    std::vector<Token> tokens;
    Tokenise(locale.dateFormat(QLocale::ShortFormat), tokens);
    if (withTime) {
        QString time = locale.timeFormat(QLocale::LongFormat);
        // The zone goes, and with it the blanks that only separated it.
        time.remove(QRegularExpression(QStringLiteral("\\s*\\bt+\\b\\s*")));
        AppendLiteral(tokens, QStringLiteral(" "));
        Tokenise(time.trimmed(), tokens);
    }
    const bool hasDayPeriod =
        std::any_of(tokens.begin(), tokens.end(), [](const Token& t) { return t.kind == Token::DayPeriod; });
    if (!hasDayPeriod) {
        // Without a day period "h" counts the hours of the whole day, as Qt has it.
        for (Token& token : tokens) {
            if (token.kind == Token::Hour12) {
                token.kind = Token::Hour24;
            }
        }
    }
    return tokens;
}

// Every log line writes the date; the pattern of a locale is made once and kept.
std::shared_ptr<const std::vector<Token>> Pattern(const QLocale& locale, bool withTime) {
    static std::mutex mutex;
    static std::map<std::pair<QString, bool>, std::shared_ptr<const std::vector<Token>>> patterns;
    const std::lock_guard lock(mutex);
    auto& pattern = patterns[{locale.name() + QLatin1Char('/') + locale.bcp47Name(), withTime}];
    if (!pattern) {
        pattern = std::make_shared<const std::vector<Token>>(MakePattern(locale, withTime));
    }
    return pattern;
}

char32_t ZeroDigit(const QLocale& locale) {
    const std::u32string zero = locale.zeroDigit().toStdU32String();
    return zero.empty() ? U'0' : zero.front();
}

QString Number(const QLocale& locale, int value, int width) {
    const QString ascii = QString::number(value).rightJustified(width, QLatin1Char('0'));
    const char32_t zero = ZeroDigit(locale);
    QString text;
    for (QChar digit : ascii) {
        const char32_t code = zero + static_cast<char32_t>(digit.unicode() - '0');
        text += QString::fromUcs4(&code, 1);
    }
    return text;
}

QString DayPeriodText(const QLocale& locale, bool pm, bool upper) {
    const QString text = pm ? locale.pmText() : locale.amText();
    return upper ? text.toUpper() : text.toLower();
}

class Reader {
public:
    explicit Reader(const QString& text) : ucs4_(text.toStdU32String()) {}

    bool AtEnd() const { return pos_ == ucs4_.size(); }

    bool Literal(const QString& literal) {
        const std::u32string expected = literal.toStdU32String();
        if (ucs4_.compare(pos_, expected.size(), expected) != 0) {
            return false;
        }
        pos_ += expected.size();
        return true;
    }

    // Reads at least one and at most maxDigits digits, the locale's or ASCII ones.
    bool Number(char32_t zero, int maxDigits, int& value) {
        int count = 0;
        value = 0;
        while (count < maxDigits && pos_ < ucs4_.size()) {
            const char32_t c = ucs4_[pos_];
            int digit = -1;
            if (c >= zero && c <= zero + 9) {
                digit = static_cast<int>(c - zero);
            } else if (c >= U'0' && c <= U'9') {
                digit = static_cast<int>(c - U'0');
            }
            if (digit < 0) {
                break;
            }
            value = value * 10 + digit;
            ++pos_;
            ++count;
        }
        return count > 0;
    }

    // Takes the longest of the candidates that the text continues with, ignoring case; -1 when none does.
    int OneOf(const std::vector<QString>& candidates) {
        const QString rest = QString::fromStdU32String(ucs4_.substr(pos_));
        int best = -1;
        qsizetype bestLength = 0;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            const QString& candidate = candidates[k];
            if (!candidate.isEmpty() && candidate.size() > bestLength &&
                rest.startsWith(candidate, Qt::CaseInsensitive)) {
                best = static_cast<int>(k);
                bestLength = candidate.size();
            }
        }
        if (best >= 0) {
            // Case folding keeps the length of these words, so the candidate's length is what was read.
            pos_ += candidates[static_cast<std::size_t>(best)].toStdU32String().size();
        }
        return best;
    }

private:
    std::u32string ucs4_;
    std::size_t pos_ = 0;
};

QLocale::FormatType NameFormat(const Token& token) {
    return token.width == 1 ? QLocale::ShortFormat : QLocale::LongFormat;
}

} // namespace

bool LocaleTextShowsMilliseconds(const QLocale& locale, bool withTime) {
    const auto pattern = Pattern(locale, withTime);
    return std::any_of(pattern->begin(), pattern->end(),
                       [](const Token& token) { return token.kind == Token::Millisecond; });
}

QString FormatLocaleDateTime(const QLocale& locale, TDateTime value, bool withTime) {
    const DateParts date = DecodeDate(value);
    const TimeParts time = DecodeTime(value);
    QString text;
    for (const Token& token : *Pattern(locale, withTime)) {
        switch (token.kind) {
        case Token::Literal:
            text += token.literal;
            break;
        case Token::Day:
            text += Number(locale, date.day, token.width);
            break;
        case Token::DayName:
            text += locale.dayName(DayOfWeek(value) == 1 ? 7 : DayOfWeek(value) - 1, NameFormat(token));
            break;
        case Token::Month:
            text += Number(locale, date.month, token.width);
            break;
        case Token::MonthName:
            text += locale.monthName(date.month, NameFormat(token));
            break;
        case Token::Year:
            text += Number(locale, date.year, token.width);
            break;
        case Token::Hour12:
            text += Number(locale, time.hour % 12 == 0 ? 12 : time.hour % 12, token.width);
            break;
        case Token::Hour24:
            text += Number(locale, time.hour, token.width);
            break;
        case Token::Minute:
            text += Number(locale, time.minute, token.width);
            break;
        case Token::Second:
            text += Number(locale, time.second, token.width);
            break;
        case Token::Millisecond:
            text += Number(locale, 0, token.width);
            break;
        case Token::DayPeriod:
            text += DayPeriodText(locale, time.hour >= 12, token.upper);
            break;
        }
    }
    return text;
}

bool ParseLocaleDateTime(const QLocale& locale, const QString& text, bool withTime, TDateTime& value) {
    const char32_t zero = ZeroDigit(locale);
    Reader reader(text);
    DateParts date;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int ignored = 0;
    int pm = -1;
    bool twelveHour = false;
    for (const Token& token : *Pattern(locale, withTime)) {
        bool ok = true;
        switch (token.kind) {
        case Token::Literal:
            ok = reader.Literal(token.literal);
            break;
        case Token::Day:
            ok = reader.Number(zero, 2, date.day);
            break;
        case Token::DayName: {
            std::vector<QString> names;
            for (int d = 1; d <= 7; ++d) {
                names.push_back(locale.dayName(d, NameFormat(token)));
            }
            ok = reader.OneOf(names) >= 0;
            break;
        }
        case Token::Month:
            ok = reader.Number(zero, 2, date.month);
            break;
        case Token::MonthName: {
            std::vector<QString> names;
            for (int m = 1; m <= 12; ++m) {
                names.push_back(locale.monthName(m, NameFormat(token)));
            }
            const int found = reader.OneOf(names);
            ok = found >= 0;
            date.month = found + 1;
            break;
        }
        case Token::Year:
            ok = reader.Number(zero, 4, date.year);
            break;
        case Token::Hour12:
            twelveHour = true;
            ok = reader.Number(zero, 2, hour);
            break;
        case Token::Hour24:
            ok = reader.Number(zero, 2, hour);
            break;
        case Token::Minute:
            ok = reader.Number(zero, 2, minute);
            break;
        case Token::Second:
            ok = reader.Number(zero, 2, second);
            break;
        case Token::Millisecond:
            ok = reader.Number(zero, 3, ignored);
            break;
        case Token::DayPeriod:
            pm = reader.OneOf({locale.amText(), locale.pmText()});
            ok = pm >= 0;
            break;
        }
        if (!ok) {
            return false;
        }
    }
    if (!reader.AtEnd()) {
        return false;
    }
    if (twelveHour) {
        if (hour < 1 || hour > 12) {
            return false;
        }
        hour = hour % 12 + (pm == 1 ? 12 : 0);
    }
    if (!IsValidDate(date.year, date.month, date.day) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    value = EncodeDateTime(date, TimeParts{hour, minute, second, 0});
    return true;
}
