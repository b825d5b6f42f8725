#pragma once

#include <QDebug>
#include <QString>

#include <type_traits>

// Where a message comes from, as the logger was told. The category name
// points at the category's own storage, which lives until exit.
struct KvLogContext
{
    const char *file = nullptr;
    int line = 0;
    const char *function = nullptr;
    const char *category = "default";
};

// The stream of one logging statement. The items make up the message; when
// the statement ends, the destructor appends one line to the log file and
// hands the message, escaped as in the file, to the framework's QDebug.
//
// Not copyable: a copy would write the line twice.
class KvDebug : public QDebug
{
public:
    KvDebug(const QDebug &stream, QtMsgType type, const KvLogContext &context, bool hasErrorCode,
            int errorCode);
    KvDebug(const KvDebug &) = delete;
    KvDebug &operator=(const KvDebug &) = delete;
    virtual ~KvDebug();

    KvDebug &operator<<(const char *text);
    KvDebug &operator<<(const QString &text);
    KvDebug &operator<<(QChar character);
    KvDebug &operator<<(char character);

    template<class Integer, class = std::enable_if_t<std::is_integral<Integer>::value &&
                                                     !std::is_same<Integer, bool>::value &&
                                                     !std::is_same<Integer, char>::value>>
    KvDebug &operator<<(Integer number)
    {
        message += QString::number(number);
        return *this;
    }

    // The complete line as the log file receives it, without the line end.
    // Made public so that the format can be checked without a file.
    static QString formatLine(const QDateTime &utcTime, const char *category, QtMsgType type,
                              bool hasErrorCode, int errorCode, const QString &message);
    // Control characters would let a message start a line of its own; they
    // are written as visible escapes instead.
    static QString escapeControlCharacters(const QString &text);
    // The file that lines go to (see KvLogOutput).
    static QString logFilePath();

private:
    bool hasErrorCode;
    int errorCode;
    KvLogContext context;
    QString message;
    QtMsgType type;
};
