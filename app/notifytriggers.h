#ifndef NOTIFYTRIGGERS_H
#define NOTIFYTRIGGERS_H

#include <QString>

// Row-level triggers announce every insert, update and delete of a table on
// PostgreSQL; they replace rules of the same names, which would evaluate column
// defaults a second time and so announce ids the rows never got.
struct NotifyTrigger {
    const char *channel;
    const char *name;
    const char *event;
    const char *payload;
};

inline constexpr NotifyTrigger kNotifyTriggers[] = {
    {"insert_tags_notf", "some_notify_rule1", "INSERT", "NEW.id::text"},
    {"update_tags_notf", "some_notify_rule2", "UPDATE", "NEW.id::text"},
    {"delete_tags_notf", "some_notify_rule3", "DELETE", "'deleted'::text"},
};

// One statement that installs the trigger on the table, with its function,
// removing an older rule or trigger of the same name.
inline QString notifyTriggerStatement(const NotifyTrigger &trigger, const QString &table)
{
    const QString function = QStringLiteral("gateway_%1").arg(QLatin1String(trigger.channel));
    return QStringLiteral("CREATE OR REPLACE FUNCTION %1() RETURNS trigger LANGUAGE plpgsql AS "
                          "$$BEGIN PERFORM pg_notify('%2'::text, %3); RETURN NULL; END$$; "
                          "DROP RULE IF EXISTS %4 ON %5; DROP TRIGGER IF EXISTS %4 ON %5; "
                          "CREATE TRIGGER %4 AFTER %6 ON %5 FOR EACH ROW EXECUTE FUNCTION %1();")
        .arg(function, QLatin1String(trigger.channel), QLatin1String(trigger.payload),
             QLatin1String(trigger.name), table, QLatin1String(trigger.event));
}

#endif // NOTIFYTRIGGERS_H
