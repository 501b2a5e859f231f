-- Journal table of Kelvora: one row per committed run of Kelvora_MYSQL, for
-- the programs that call the importer unattended. With KELVORA_JOURNAL,
-- KELVORA_RUN_ID and KELVORA_FILE_SHA256 in its environment, a run that
-- commits inserts its row inside its own transaction, right before the
-- COMMIT: the row is there exactly when the run's data is. A row that
-- cannot be written (no table, no INSERT right, a run id used before)
-- fails the run, and nothing of it is kept.
--
--   mariadb < /usr/share/kelvora/journal.sql
--
-- creates it under its default name KELVORA.RUNS; then give the importer's
-- login the rights it needs there, for example
--
--   GRANT SELECT, INSERT ON KELVORA.RUNS TO 'kelvora'@'localhost';
--
-- and check them with kelvora-settings check --journal KELVORA.RUNS. Another
-- name works as well (KELVORA_JOURNAL=SCHEMA.TABLE) when its columns are
-- these. The table must be InnoDB: in a table without transactions the row
-- would stay when the run is not committed, so a run refuses such a table
-- (exit 97) before it moves its file.
--
-- RunId is the caller's name of the run and the key: a second run with the
-- same id fails. Sha256 (lower case) and TypeCode find the runs of a file.
-- SourceFile is the file as named on the command line, WorkFileBytes the
-- size of the file read; LineCount, WrittenCount, FailedCount and
-- WrongLengthCount are the counts of the run's summary, ExitStatus the exit
-- status of the run, CommitUtc the server's UTC_TIMESTAMP() right before
-- the COMMIT.

CREATE DATABASE IF NOT EXISTS KELVORA DEFAULT CHARACTER SET latin1;

CREATE TABLE IF NOT EXISTS KELVORA.RUNS (
  RunId VARCHAR(64) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
  TypeCode VARCHAR(3) NOT NULL,
  SourceFile VARCHAR(1024) NOT NULL,
  WorkFileBytes BIGINT UNSIGNED NOT NULL,
  Sha256 CHAR(64) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
  LineCount BIGINT UNSIGNED NOT NULL,
  WrittenCount BIGINT UNSIGNED NOT NULL,
  FailedCount BIGINT UNSIGNED NOT NULL,
  WrongLengthCount BIGINT UNSIGNED NOT NULL,
  ExitStatus SMALLINT UNSIGNED NOT NULL,
  CommitUtc DATETIME NOT NULL,
  PRIMARY KEY (RunId),
  KEY RunsOfAFile (Sha256, TypeCode)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;
