#!/usr/bin/python3
"""Dumps the cells of a workbook's sheet REPORTE as JSON, read with openpyxl."""
import datetime
import json
import sys

import openpyxl


def kind(v):
    if isinstance(v, bool):
        return "b", v
    if isinstance(v, (int, float)):
        return "n", v
    if isinstance(v, datetime.datetime):
        return "d", v.date().isoformat() if v.time() == datetime.time(0) else v.isoformat()
    if isinstance(v, datetime.time):
        return "t", v.isoformat()
    return "s", str(v)


def main():
    wb = openpyxl.load_workbook(sys.argv[1])
    ws = wb["REPORTE"]
    cells = {}
    for row in ws.iter_rows():
        for c in row:
            if c.value is not None:
                cells[c.coordinate] = kind(c.value)
    print(json.dumps({"sheets": wb.sheetnames, "cells": cells}))


if __name__ == "__main__":
    main()
