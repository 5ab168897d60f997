#!/usr/bin/env python3
"""Turns the control's two registry scripts and its IDL into Windows Installer registry rows
(a WiX include), so that the package registers the control without running anything at
install time, and repair, rollback and upgrade work on plain rows.

  make-registration.py OUTPUT.wxi FILE_ID Keyvora.rgs KeyvoraCtl.rgs Keyvora.idl KeyvoraModule.cpp
                       KeyvoraCtl.h oleidl.h

%MODULE% becomes [#FILE_ID]; %APPID% and %OLEMISC% are the replacements the module gives
its registrar (kAppId; kKeyvoraMiscStatus in decimal, its OLEMISC_ names valued from the
platform's oleidl.h). The type library rows are those RegisterTypeLib writes, from the IDL.
"""
import re
import sys
from xml.sax.saxutils import quoteattr

PS_OA_INTERFACE = "{00020424-0000-0000-C000-000000000046}"
PS_DISPATCH = "{00020420-0000-0000-C000-000000000046}"


def tokens(text):
    """Tokens of the registrar's script language: words, quoted texts, braces, '='."""
    pattern = re.compile(r"\s*(?:('(?:[^']|'')*')|(\{[0-9A-Fa-f-]{36}\})|([{}=])|([^\s{}=']+))")
    position = 0
    out = []
    while position < len(text):
        match = pattern.match(text, position)
        if not match or match.end() == position:
            if text[position:].strip() == "":
                break
            raise SystemExit("make-registration: cannot read the script near: " + text[position:position + 40])
        quoted, guid, symbol, word = match.groups()
        if quoted is not None:
            out.append(("text", quoted[1:-1].replace("''", "'")))
        elif guid is not None:
            out.append(("text", guid))
        elif symbol is not None:
            out.append((symbol, symbol))
        elif word is not None:
            out.append(("text", word))
        position = match.end()
    return out


def parse(script, replacements):
    """Rows (key path, value name or None for the default, value) and keys made without value."""
    for name, value in replacements.items():
        script = script.replace("%" + name + "%", value)
    items = tokens(script)
    rows = []
    position = 0

    def block(path):
        nonlocal position
        while position < len(items) and items[position][0] != "}":
            kind, text = items[position]
            position += 1
            is_value = False
            kept = False
            while text in ("NoRemove", "ForceRemove", "Delete", "val"):
                is_value = is_value or text == "val"
                kept = kept or text == "NoRemove"
                text = items[position][1]
                position += 1
            name = text
            value = None
            if position < len(items) and items[position][0] == "=":
                position += 1
                kind = items[position][1]
                position += 1
                if kind != "s":
                    raise SystemExit("make-registration: only string values are supported, not " + kind)
                value = items[position][1]
                position += 1
            if is_value:
                rows.append((path, name, value))
                continue
            key = path + "\\" + name if path else name
            # A key without a default value: "+" makes it (NoRemove: and keeps it), "*" also
            # removes it with the product.
            rows.append((key, None, value) if value is not None else (key, "+" if kept else "*", None))
            if position < len(items) and items[position][0] == "{":
                position += 1
                block(key)
                position += 1  # the closing brace

    root = items[position][1]
    position += 1
    if root != "HKCR" or items[position][0] != "{":
        raise SystemExit("make-registration: a script must start with HKCR {")
    position += 1
    block("")
    return rows


def idl_facts(idl):
    facts = {}
    library = re.search(r"uuid\(([0-9A-Fa-f-]+)\)\s*,\s*version\(([0-9.]+)\)([^\]]*)\]\s*library\s+(\w+)", idl)
    facts["libid"], facts["version"] = "{" + library.group(1).upper() + "}", library.group(2)
    # RegisterTypeLib writes the library's help string, or its name when it has none.
    help_text = re.search(r'helpstring\("([^"]*)"\)', library.group(3))
    facts["library"] = help_text.group(1) if help_text else library.group(4)
    facts["interfaces"] = []
    for match in re.finditer(r"\[([^\]]*)\]\s*(dispinterface|interface)\s+(\w+)", idl):
        attributes, kind, name = match.groups()
        uuid = re.search(r"uuid\(([0-9A-Fa-f-]+)\)", attributes)
        if not uuid:
            continue
        if kind == "interface" and not re.search(r"\b(dual|oleautomation)\b", attributes):
            continue
        facts["interfaces"].append((name, "{" + uuid.group(1).upper() + "}", PS_DISPATCH if kind == "dispinterface" else PS_OA_INTERFACE))
    coclass = re.search(r"uuid\(([0-9A-Fa-f-]+)\)[^\]]*\]\s*coclass", idl)
    facts["clsid"] = "{" + coclass.group(1).upper() + "}"
    return facts


def module_replacement(source, name):
    match = re.search(r"const wchar_t %s\[\] = L\"([^\"]*)\";" % name, source)
    if not match:
        raise SystemExit("make-registration: %s not found in the module's source" % name)
    return match.group(1)


def misc_status(control_header, oleidl):
    """kKeyvoraMiscStatus: the OR of the OLEMISC_ names it is made of, valued from oleidl.h."""
    match = re.search(r"kKeyvoraMiscStatus\s*=\s*([^;]+);", control_header)
    if not match:
        raise SystemExit("make-registration: kKeyvoraMiscStatus not found in the control's header")
    values = dict((name, int(value, 0)) for name, value in re.findall(r"\b(OLEMISC_\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)", oleidl))
    status = 0
    for name in re.findall(r"\w+", match.group(1)):
        if name not in values:
            raise SystemExit("make-registration: %s not found in oleidl.h" % name)
        status |= values[name]
    return str(status)


def main():
    if len(sys.argv) != 9:
        raise SystemExit(__doc__)
    output, file_id, rgs_module, rgs_control, idl_path, module_path, control_header, oleidl = sys.argv[1:]
    facts = idl_facts(open(idl_path).read())
    source = open(module_path).read()
    module = "[#%s]" % file_id
    replacements = {"MODULE": module, "APPID": module_replacement(source, "kAppId"),
                    "OLEMISC": misc_status(open(control_header).read(), open(oleidl).read())}
    rows = parse(open(rgs_module).read(), replacements) + parse(open(rgs_control).read(), replacements)
    libid, version = facts["libid"], facts["version"]
    rows += [
        ("TypeLib\\%s\\%s" % (libid, version), None, facts["library"]),
        ("TypeLib\\%s\\%s\\FLAGS" % (libid, version), None, "0"),
        ("TypeLib\\%s\\%s\\0\\win32" % (libid, version), None, module),
        ("TypeLib\\%s\\%s\\HELPDIR" % (libid, version), None, "[INSTALLDIR]"),
    ]
    for name, iid, proxy in facts["interfaces"]:
        rows += [
            ("Interface\\%s" % iid, None, name),
            ("Interface\\%s\\ProxyStubClsid" % iid, None, proxy),
            ("Interface\\%s\\ProxyStubClsid32" % iid, None, proxy),
            ("Interface\\%s\\TypeLib" % iid, None, libid),
            ("Interface\\%s\\TypeLib" % iid, "Version", version),
        ]
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             "<!-- Generated by installer/make-registration.py from the registry scripts and the IDL. -->",
             '<Include xmlns="http://schemas.microsoft.com/wix/2006/wi">']
    for key, name, value in rows:
        if value is None:
            lines.append('  <RegistryValue Root="HKCR" Key=%s Name="%s" Type="string" Value=""/>' % (quoteattr(key), name))
            continue
        attributes = 'Root="HKCR" Key=%s' % quoteattr(key)
        if name is not None:
            attributes += " Name=%s" % quoteattr(name)
        lines.append('  <RegistryValue %s Type="string" Value=%s/>' % (attributes, quoteattr(value or "")))
    lines.append("</Include>")
    open(output, "w").write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
