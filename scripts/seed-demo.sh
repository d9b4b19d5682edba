#!/usr/bin/env bash
# On first run, creates the default SQLite database with a small demo tags
# table, so a newcomer sees values move both ways. An existing file is kept.
set -euo pipefail
app_dir=$1
db="$app_dir/gateway.db"
[ -e "$db" ] && exit 0
sqlite3 "$db" <<'SQL'
CREATE TABLE tags (id INTEGER  NOT NULL, number TEXT   , key TEXT   , value TEXT   , type TEXT   , description TEXT   , format TEXT   ,PRIMARY KEY (id ));
INSERT INTO tags VALUES (1, '1', 'Pump1', '0', 'w', 'Pump 1 speed step', 'Int32');
INSERT INTO tags VALUES (2, '2', 'Valve1', '1', 'w', 'Valve 1 open', 'Boolean');
INSERT INTO tags VALUES (3, '3', 'FlowRate', '12.5', 'r', 'Flow rate, m3/h', 'Double');
INSERT INTO tags VALUES (4, '4', 'Operator', 'shift A', 'W/R', 'Operator on duty', 'String');
SQL
