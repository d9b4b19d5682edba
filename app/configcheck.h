#ifndef CONFIGCHECK_H
#define CONFIGCHECK_H

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <initializer_list>

// Reads the three settings files of a folder the way the gateway does at start
// and collects every problem: a file it cannot load, a value of the wrong type
// or out of range, a name it does not know, an entry it would skip. Each
// problem says what the gateway would do about it.
class ConfigCheck
{
public:
    struct Problem {
        QString file; // full path
        QString key;  // path inside the file (Tags[2].Format); empty for the whole file
        QString text;
    };

    explicit ConfigCheck(const QString &settingsDir);

    // A value as the file writes it, strings quoted; "(missing)" when absent.
    static QString jsonText(const QJsonValue &value);
    static bool isPortNumber(const QJsonValue &value);

    const QList<Problem> &problems() const { return m_problems; }
    // All three files were found and are JSON objects: the gateway starts.
    bool filesLoad() const { return m_filesLoad; }
    // One line per problem: "file: key: text".
    QStringList report() const;

private:
    enum class Kind { Bool, Text, Integer, Object, List };

    // The file as the gateway loads it; false (and a problem) when it would not.
    bool load(const QString &folder, const char *name, QJsonObject &target);
    bool refuse(const QString &reason);
    void checkSettings(const QJsonObject &settings);
    void checkSecurity(const QJsonValue &policies);
    void checkSql(const QJsonObject &sql);
    void checkTables(const QJsonObject &sql);
    void checkTags(const QJsonObject &tags);
    void checkFolder(const QJsonObject &tags, const char *key);
    void checkProperties(const QJsonObject &tags);
    void checkTagList(const QJsonObject &tags);

    // True when the key is there with a value of that kind; a value of another
    // kind is a problem, with the consequence given or Qt's conversion default.
    bool expect(const QJsonObject &object, const QString &prefix, const char *key, Kind kind,
                const QString &consequence = QString());
    // Each of the keys must be there, else the entry is skipped.
    bool expectPresent(const QJsonObject &entry, const QString &prefix,
                       std::initializer_list<const char *> keys, const QString &consequence);
    // The list's entries as objects, each with its path; other entries are problems.
    QList<QPair<QString, QJsonObject>> entries(const QJsonObject &object, const QString &prefix,
                                               const char *key, const QString &consequence);
    void add(const QString &key, const QString &text);

    QString m_file;
    QList<Problem> m_problems;
    bool m_filesLoad = true;
};

#endif // CONFIGCHECK_H
