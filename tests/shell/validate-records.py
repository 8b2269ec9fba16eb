#!/usr/bin/env python3
"""Checks a file of operation records against the record schema:
    validate-records.py SCHEMA RECORDS
Every line must be UTF-8, one JSON object and valid by the schema (draft
2020-12); the file ends in a line end. Prints "line N: why" for each line that
is not and exits 1; exits 2 when it cannot check at all."""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(2)


def refuse_constant(name):
    # Python reads NaN and Infinity, which JSON does not have.
    raise ValueError("not JSON: " + name)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    with open(sys.argv[2], "rb") as records:
        data = records.read()
    if not data:
        print("no records", file=sys.stderr)
        return 2
    failed = False
    if not data.endswith(b"\n"):
        print("the last line has no line end")
        failed = True
    # Only "\n" ends a record: bytes.split, unlike str.splitlines, takes no other
    # character for a line end. An empty line is an error like any other.
    body = data[:-1] if data.endswith(b"\n") else data
    for number, raw in enumerate(body.split(b"\n"), start=1):
        try:
            record = json.loads(raw.decode("utf-8"), parse_constant=refuse_constant)
        except ValueError as error:
            print(f"line {number}: {error}")
            failed = True
            continue
        for error in validator.iter_errors(record):
            where = "/".join(str(part) for part in error.absolute_path)
            print(f"line {number}: /{where}: {error.message}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
