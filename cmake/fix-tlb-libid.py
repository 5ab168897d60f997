#!/usr/bin/env python3
"""Mends the library identifier in a type library made by widl 7, which writes the last byte
of the library's GUID as 0x0D whatever the IDL says. Usage: fix-tlb-libid.py TLB GUID"""
import sys
import uuid

path, guid = sys.argv[1], uuid.UUID(sys.argv[2]).bytes_le
data = bytearray(open(path, "rb").read())
at = data.find(guid[:15])
if at < 0:
    sys.exit("fix-tlb-libid: %s does not hold the library identifier" % path)
while at >= 0:
    data[at + 15] = guid[15]
    at = data.find(guid[:15], at + 16)
open(path, "wb").write(bytes(data))
