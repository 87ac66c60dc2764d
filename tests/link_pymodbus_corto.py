#!/usr/bin/python3
"""pymodbus slave id 1 on TCP (RTU framer) with the registers of
link_pymodbus_slave.py up to HASTA only: a read beyond is refused with
exception 2 (illegal data address), as pymodbus does.
usage: link_pymodbus_corto.py PORT HASTA
It prints "tcp PORT" once it serves.
"""
import asyncio
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,  # noqa: E402
                                ModbusSlaveContext)

from link_pymodbus_slave import sirve  # noqa: E402


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    hasta = int(sys.argv[2])
    valores = [(i * 7 + 3) & 0xFFFF for i in range(hasta)]
    esclavo = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, valores), zero_mode=True)
    asyncio.run(sirve(ModbusServerContext(slaves={1: esclavo}, single=False), "--tcp", sys.argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
