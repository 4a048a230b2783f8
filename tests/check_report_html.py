#!/usr/bin/env python3
"""Reads an HTML report with Python's own HTML parser and prints, as one
JSON object, what a browser would make of it: every element with its
attributes, the text a reader sees, and the JSON Lines of the
application/json script elements. The test that calls it judges.

Usage: check_report_html.py FILE
"""
import html.parser
import json
import sys


class Report(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.elements = []
        self.text = []
        self.records = []
        self.script = None  # the text of the script element being read

    def handle_starttag(self, tag, attrs):
        self.elements.append([tag, [[name, value or ""] for name, value in attrs]])
        if tag == "script":
            self.script = ""
            if dict(attrs).get("type") != "application/json":
                self.elements.append(["script-not-json", []])

    def handle_startendtag(self, tag, attrs):
        self.elements.append([tag, [[name, value or ""] for name, value in attrs]])

    def handle_endtag(self, tag):
        if tag == "script" and self.script is not None:
            self.records += [json.loads(line) for line in self.script.splitlines() if line.strip()]
            self.script = None

    def handle_data(self, data):
        if self.script is not None:
            self.script += data
        else:
            self.text.append(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8", errors="strict") as f:
        page = f.read()
    report = Report()
    report.feed(page)
    report.close()
    json.dump({"elements": report.elements, "text": "".join(report.text), "records": report.records}, sys.stdout)


if __name__ == "__main__":
    main()
