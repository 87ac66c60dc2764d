#!/usr/bin/python3
"""Independent Modbus RTU slave for the link tests (pymodbus, RTU framer).

Holding register i holds (i * 7 + 3) & 0xFFFF; slave id 1.
usage: link_pymodbus_slave.py --tcp PORT | --serial DEVICE
"""
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartSerialServer, StartTcpServer
from pymodbus.transaction import ModbusRtuFramer


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("--tcp", "--serial"):
        print(__doc__, file=sys.stderr)
        return 2
    valores = [(i * 7 + 3) & 0xFFFF for i in range(14500)]
    bloque = ModbusSequentialDataBlock(0, valores)
    esclavo = ModbusSlaveContext(hr=bloque, zero_mode=True)
    contexto = ModbusServerContext(slaves={1: esclavo}, single=False)
    if sys.argv[1] == "--tcp":
        StartTcpServer(context=contexto, address=("127.0.0.1", int(sys.argv[2])),
                       framer=ModbusRtuFramer)
    else:
        StartSerialServer(context=contexto, port=sys.argv[2], framer=ModbusRtuFramer,
                          baudrate=19200, bytesize=8, parity="N", stopbits=1, timeout=0.05)
    return 0


if __name__ == "__main__":
    sys.exit(main())
