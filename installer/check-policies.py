#!/usr/bin/env python3
"""Checks the administrative template against the admin guide: both files are well-formed XML,
every string and presentation the ADMX refers to is in the ADML, and the HKLM settings of
the guide's configuration tables are exactly those the ADMX sets, for 32-bit Windows and
(under WOW6432Node) for 64-bit Windows.

  check-policies.py docs/admin-guide.md Orvane.admx en-US/Orvane.adml
"""
import re
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"


def guide_settings(path):
    text = open(path, encoding="utf-8").read()
    section = text.split("## Configuration (registry)", 1)[1].split("\n## ", 1)[0]
    settings = set()
    for key, value in re.findall(r"^\| `(HKLM\\[^`]+)` \| `([^`]+)` \|", section, re.M):
        settings.add((key[len("HKLM\\"):].lower(), value.lower()))
    return settings


def main():
    guide, admx_path, adml_path = sys.argv[1:4]
    admx = ET.parse(admx_path).getroot()
    adml = ET.parse(adml_path).getroot()
    strings = {s.get("id") for s in adml.iter(NS + "string")}
    presentations = {p.get("id") for p in adml.iter(NS + "presentation")}
    failures = []
    for element in admx.iter():
        for attribute in element.attrib.values():
            for kind, name in re.findall(r"\$\((string|presentation)\.([^)]+)\)", attribute):
                if name not in (strings if kind == "string" else presentations):
                    failures.append("the ADML lacks %s %s" % (kind, name))
    views = {"32": set(), "64": set()}
    for policy in admx.iter(NS + "policy"):
        key = policy.get("key").lower()
        view = "64" if "\\wow6432node\\" in key else "32"
        key = key.replace("wow6432node\\", "")
        names = [policy.get("valueName")] + [e.get("valueName") for e in policy.iter() if e.get("valueName")]
        for name in filter(None, names):
            views[view].add((key, name.lower()))
    documented = guide_settings(guide)
    if not documented:
        failures.append("the guide lists no HKLM setting")
    for view, settings in views.items():
        if settings != documented:
            failures.append("%s-bit policies differ from the guide: only in the ADMX %s, only in the guide %s"
                            % (view, sorted(settings - documented), sorted(documented - settings)))
    for failure in failures:
        print("check-policies: " + failure)
    print("check-policies: %d HKLM settings, in both views" % len(documented) if not failures else "")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
