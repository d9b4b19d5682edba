#ifndef JOURNALLOG_H
#define JOURNALLOG_H

// Under systemd a service's standard error is a stream into the journal, which
// takes a "<priority>" prefix on each line as that line's syslog priority.
// This handler gives every Qt message the priority of its type (critical 3,
// warning 4, info 6, debug 7) when standard error is that stream.
namespace JournalLog
{

// Installs the handler when standard error goes to the journal; true when it did.
bool install();

} // namespace JournalLog

#endif // JOURNALLOG_H
