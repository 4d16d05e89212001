#!/usr/bin/env python3
"""Reads a JSON record of imbrix-cli with Python's own json module, checks
each row's fields, and prints one line per row, tab-separated:

    status  source  base_folder  output  error  bytes_in  bytes_out  ms

Text fields are printed as the hex of their exact bytes (from the *_bytes
field where there is one), '-' when absent; bytes_in may be 'null'. Exits 1,
naming the line, on anything that is not a well-formed row.
"""
import base64
import json
import sys

KNOWN = {"source", "source_bytes", "base_folder", "base_folder_bytes", "output",
         "output_bytes", "status", "error", "bytes_in", "bytes_out", "ms"}


def exact(row, key):
    if key + "_bytes" in row:
        raw = base64.b64decode(row[key + "_bytes"], validate=True)
        try:
            raw.decode("utf-8")
            raise ValueError(key + "_bytes holds valid UTF-8: the text field would do")
        except UnicodeDecodeError:
            pass
        if "\ufffd" not in row[key]:
            raise ValueError(key + " does not mark the bytes that are not UTF-8")
        return raw
    if key in row:
        if not isinstance(row[key], str) or not row[key]:
            raise ValueError(key + " is not a text")
        return row[key].encode("utf-8")
    return None


def main(path):
    with open(path, "rb") as record:
        for number, raw in enumerate(record, 1):
            try:
                if not raw.endswith(b"\n"):
                    raise ValueError("the line does not end")
                row = json.loads(raw.decode("utf-8", errors="strict"))
                if not isinstance(row, dict) or set(row) - KNOWN:
                    raise ValueError("unknown fields: %s" % sorted(set(row) - KNOWN))
                status = row["status"]
                if status not in ("converted", "failed", "skipped"):
                    raise ValueError("status " + repr(status))
                if ("error" in row) != (status == "failed"):
                    raise ValueError("error goes with failed, and only with it")
                if ("output" in row) == (status == "failed"):
                    raise ValueError("output goes with converted and skipped")
                for key in ("bytes_out", "ms"):
                    if type(row[key]) is not int or row[key] < 0:
                        raise ValueError(key + " is not a count")
                if row["bytes_in"] is not None and (type(row["bytes_in"]) is not int or
                                                    row["bytes_in"] < 0):
                    raise ValueError("bytes_in is not a count")
                if status != "converted" and row["bytes_out"] != 0:
                    raise ValueError("bytes_out without an output written")
                fields = [status]
                for key in ("source", "base_folder", "output"):
                    value = exact(row, key)
                    fields.append("-" if value is None else value.hex())
                fields.append(row["error"].encode("utf-8").hex() if "error" in row else "-")
                fields.append("null" if row["bytes_in"] is None else str(row["bytes_in"]))
                fields += [str(row["bytes_out"]), str(row["ms"])]
                print("\t".join(fields))
            except (ValueError, KeyError, UnicodeDecodeError) as error:
                sys.exit("%s line %d: %s: %r" % (path, number, error, raw[:200]))


if __name__ == "__main__":
    main(sys.argv[1])
