// The Jet type names that PostgreSQL lacks, as domains over its nearest types, so that a tag
// database on a server declares its columns with the same names as on a file. Made in the
// current schema; running it again changes nothing.
#ifndef ZEMATAG_JETDOMAINS_H
#define ZEMATAG_JETDOMAINS_H

inline constexpr const char kJetDomainsSql[] = R"sql(
DO $jet$
DECLARE
  d text[];
BEGIN
  FOREACH d SLICE 1 IN ARRAY ARRAY[
      ['long', 'integer'],
      ['short', 'smallint'],
      ['byte', 'smallint CHECK (VALUE BETWEEN 0 AND 255)'],
      ['tinyint', 'smallint CHECK (VALUE BETWEEN 0 AND 255)'],
      ['yesno', 'boolean'],
      ['logical', 'boolean'],
      ['single', 'real'],
      ['double', 'double precision'],
      ['number', 'double precision'],
      ['currency', 'numeric(19,4)'],
      ['datetime', 'timestamp(3)'],
      ['memo', 'text'],
      ['longtext', 'text'],
      ['longbinary', 'bytea'],
      ['oleobject', 'bytea']] LOOP
    IF NOT EXISTS (SELECT 1 FROM pg_type t WHERE t.typname = d[1]
                   AND t.typnamespace = current_schema()::regnamespace) THEN
      EXECUTE format('CREATE DOMAIN %I AS %s', d[1], d[2]);
    END IF;
  END LOOP;
END
$jet$;
)sql";

#endif
