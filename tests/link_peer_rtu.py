#!/usr/bin/python3
"""A misbehaving Modbus RTU slave over TCP, for the link tests.

Holding register i holds (i * 7 + 3) & 0xFFFF; slave id 1. It answers one
request at a time, in the order they came, as a serial slave does.
The first line on stdout is "port N".

usage: link_peer_rtu.py FAULT ADDRESS [SECONDS]
  late     the first request at ADDRESS is answered SECONDS late
  id       the first reply for ADDRESS comes from slave 2, with other data
  function the first reply for ADDRESS carries function 04, with other data
  count    the first reply for ADDRESS has a wrong byte count, with other data
  exception every request at ADDRESS gets exception 02
  none     no fault
"""
import socket
import struct
import sys
import time


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def valor(reg, otro):
    return ((reg * 7 + 3) ^ (0x1111 if otro else 0)) & 0xFFFF


def respuesta(pedido, fallo, direccion, primera):
    esclavo, funcion, dir_, cantidad = struct.unpack(">BBHH", pedido[:6])
    afectada = dir_ == direccion
    if funcion == 6:
        return pedido
    if afectada and fallo == "exception":
        cuerpo = bytes([esclavo, 0x83, 0x02])
        return cuerpo + crc16(cuerpo)
    otro = afectada and primera and fallo in ("id", "function", "count")
    datos = b"".join(struct.pack(">H", valor(dir_ + i, otro)) for i in range(cantidad))
    cuenta = 2 * cantidad
    if otro and fallo == "id":
        esclavo = 2
    if otro and fallo == "function":
        funcion = 4
    if otro and fallo == "count":
        cuenta = 2 * cantidad - 2
    cuerpo = bytes([esclavo, funcion, cuenta]) + datos
    return cuerpo + crc16(cuerpo)


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    fallo, direccion = sys.argv[1], int(sys.argv[2])
    demora = float(sys.argv[3]) if len(sys.argv) == 4 else 0.0
    servidor = socket.socket()
    servidor.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    servidor.bind(("127.0.0.1", 0))
    servidor.listen(4)
    print("port", servidor.getsockname()[1], flush=True)
    vistas = set()
    while True:
        conexion, _ = servidor.accept()
        with conexion:
            buffer = b""
            while True:
                try:
                    llegado = conexion.recv(256)
                except OSError:
                    break
                if not llegado:
                    break
                buffer += llegado
                while len(buffer) >= 8:
                    pedido, buffer = buffer[:8], buffer[8:]
                    if crc16(pedido[:6]) != pedido[6:]:
                        buffer = b""  # out of step: drop what is left
                        break
                    dir_ = struct.unpack(">H", pedido[2:4])[0]
                    primera = dir_ not in vistas
                    vistas.add(dir_)
                    if fallo == "late" and dir_ == direccion and primera:
                        time.sleep(demora)
                    try:
                        conexion.sendall(respuesta(pedido, fallo, direccion, primera))
                    except OSError:
                        break


if __name__ == "__main__":
    sys.exit(main())
