#ifndef TAGROW_H
#define TAGROW_H

#include <QMetaType>
#include <QString>
#include <QVector>

// The tags table's columns by position.
enum TagsColumn {
    kIdColumn = 0,
    kNumberColumn,
    kKeyColumn,
    kValueColumn,
    kTypeColumn,
    kDescriptionColumn,
    kFormatColumn,
    kTagsColumnCount
};

// One row of the tags table as the texts of its seven columns. The tag store
// and the window hold the same rows; copies share their texts.
struct TagRow {
    qint64 id = 0;
    QString number;
    QString key;
    QString value;
    QString type;
    QString description;
    QString format;

    QString cell(int column) const;
    void setCell(int column, const QString &text);
    bool operator==(const TagRow &other) const;
    bool operator!=(const TagRow &other) const { return !(*this == other); }
};

// Its members are all relocatable, so vectors of rows move them as bytes.
Q_DECLARE_TYPEINFO(TagRow, Q_MOVABLE_TYPE);

using TagRows = QVector<TagRow>;
using TagRowIds = QVector<qint64>;

// The vectors are meta-types through their elements; declaring the aliases
// themselves would give QVector<qint64> a second, conflicting declaration.
Q_DECLARE_METATYPE(TagRow)

#endif // TAGROW_H
