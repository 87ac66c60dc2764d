#!/usr/bin/python3
"""Independent Modbus RTU slave for the link tests (pymodbus, RTU framer).

Holding register i of slave id n holds (i * 7 + 3 + 1000 * (n - 1)) & 0xFFFF;
slave id 1 unless --ids lists several ("1,2,3"), each with its own registers
on the same port.
usage: link_pymodbus_slave.py --tcp PORT | --serial DEVICE [--ids LIST]
Once it serves it prints one line, "tcp PORT" (PORT 0: a free one, the one
it took) or "serial DEVICE", so that a test never talks to it too early.
Lines on its standard input switch a slave off and on: "mudo N" (from then
on requests to id N get no reply at all, as from a device switched off on a
bus) and "habla N"; each is acknowledged with "ok".
"""
import asyncio
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer


def atiende_ordenes(contexto, esclavos):
    linea = sys.stdin.readline()
    if not linea:
        asyncio.get_running_loop().remove_reader(sys.stdin.fileno())
        return
    partes = linea.split()
    if len(partes) == 2 and partes[1].isdigit() and int(partes[1]) in esclavos:
        n = int(partes[1])
        if partes[0] == "mudo" and n in contexto:
            del contexto[n]
        elif partes[0] == "habla":
            contexto[n] = esclavos[n]
    print("ok", flush=True)


async def sirve(contexto, esclavos, modo, donde):
    asyncio.get_running_loop().add_reader(sys.stdin.fileno(), atiende_ordenes, contexto, esclavos)
    if modo == "--tcp":
        servidor = ModbusTcpServer(contexto, ModbusRtuFramer, None, ("127.0.0.1", int(donde)),
                                   ignore_missing_slaves=True)
        tarea = asyncio.ensure_future(servidor.serve_forever())
        await servidor.serving
        print("tcp", servidor.server.sockets[0].getsockname()[1], flush=True)
        await tarea
    else:
        servidor = ModbusSerialServer(contexto, ModbusRtuFramer, port=donde, baudrate=19200, bytesize=8,
                                      parity="N", stopbits=1, timeout=0.05,
                                      ignore_missing_slaves=True)
        await servidor.start()
        if servidor.transport is None:
            raise SystemExit("no se pudo abrir " + donde)
        print("serial", donde, flush=True)
        await servidor.serve_forever()


def main():
    args = sys.argv[1:]
    ids = [1]
    if len(args) == 4 and args[2] == "--ids":
        ids = [int(n) for n in args[3].split(",")]
        args = args[:2]
    if len(args) != 2 or args[0] not in ("--tcp", "--serial"):
        print(__doc__, file=sys.stderr)
        return 2
    esclavos = {}
    for n in ids:
        valores = [(i * 7 + 3 + 1000 * (n - 1)) & 0xFFFF for i in range(14500)]
        bloque = ModbusSequentialDataBlock(0, valores)
        esclavos[n] = ModbusSlaveContext(hr=bloque, zero_mode=True)
    contexto = ModbusServerContext(slaves=dict(esclavos), single=False)
    # A request to a slave switched off is logged as an error: not worth saying.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    asyncio.run(sirve(contexto, esclavos, args[0], args[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
