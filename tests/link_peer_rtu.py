#!/usr/bin/python3
"""A misbehaving Modbus RTU slave over TCP or a pseudo-terminal, for the link tests.

Holding register i holds (i * 7 + 3) & 0xFFFF. It is slave 1 and, as the
indicator of a point-to-point line does, answers requests for id 0 too,
always with its own id; other ids get no answer. It answers one request at a
time, in the order they came, as a serial slave does.
The first line on stdout is "port N" (TCP) or the device's path (--pty);
"late sent" follows when a late reply has gone out or died with its
connection.

usage: link_peer_rtu.py [--pty] [--latency MS] [--ignore-single] FAULT ADDRESS [SECONDS]
  late       the first request at ADDRESS is answered SECONDS late; the
             requests after it wait behind it
  late-apart the first request at ADDRESS is answered SECONDS late with the
             other values it held then, and the requests after it are
             answered meanwhile (a gateway that forwards replies as they come)
  id         the first reply for ADDRESS comes from slave 2, with other data
  function   the first reply for ADDRESS carries function 04, with other data
  count      the first reply for ADDRESS has a wrong byte count, with other data
  exception  every request at ADDRESS gets exception 02
  none       no fault
  --pty            serve on a new pseudo-terminal instead of TCP
  --latency MS     every reply goes out MS after its request
  --ignore-single  reads of one register get no answer (as an indicator that
                   refuses a read splitting a 32-bit value)
"""
import os
import pty
import socket
import struct
import sys
import threading
import time
import tty

PROPIO = 1


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def valor(reg, otro):
    return ((reg * 7 + 3) ^ (0x1111 if otro else 0)) & 0xFFFF


def respuesta(pedido, fallo, direccion, primera, otro_dato=False):
    _, funcion, dir_, cantidad = struct.unpack(">BBHH", pedido[:6])
    esclavo = PROPIO
    afectada = dir_ == direccion
    if funcion == 6:
        return bytes([esclavo]) + pedido[1:6] + crc16(bytes([esclavo]) + pedido[1:6])
    if afectada and fallo == "exception":
        cuerpo = bytes([esclavo, 0x83, 0x02])
        return cuerpo + crc16(cuerpo)
    otro = otro_dato or (afectada and primera and fallo in ("id", "function", "count"))
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


class Atiende:
    """Answers the requests of one connection (or of the pseudo-terminal)."""

    def __init__(self, args, vistas, envia):
        self.args = args
        self.vistas = vistas
        self.envia_crudo = envia
        self.candado = threading.Lock()
        self.buffer = b""

    def envia(self, datos):
        with self.candado:
            self.envia_crudo(datos)

    def tardia(self, datos):
        try:
            self.envia(datos)
        except OSError:
            pass  # its connection is gone: the late reply dies with it
        print("late sent", flush=True)

    def recibe(self, llegado):
        fallo, direccion, demora = self.args["fallo"], self.args["direccion"], self.args["demora"]
        self.buffer += llegado
        while len(self.buffer) >= 8:
            pedido, self.buffer = self.buffer[:8], self.buffer[8:]
            if crc16(pedido[:6]) != pedido[6:]:
                self.buffer = b""  # out of step: drop what is left
                return
            if pedido[0] not in (0, PROPIO):
                continue
            funcion, dir_, cantidad = struct.unpack(">BHH", pedido[1:6])
            if self.args["ignora_uno"] and funcion == 3 and cantidad == 1:
                continue
            primera = dir_ not in self.vistas
            self.vistas.add(dir_)
            tarde = fallo in ("late", "late-apart") and dir_ == direccion and primera
            if tarde and fallo == "late-apart":
                temporizador = threading.Timer(
                    demora, self.tardia, [respuesta(pedido, fallo, direccion, primera, True)])
                temporizador.daemon = True
                temporizador.start()
                continue
            if tarde:
                time.sleep(demora)
            elif self.args["latencia"]:
                time.sleep(self.args["latencia"])
            self.envia(respuesta(pedido, fallo, direccion, primera))
            if tarde:
                print("late sent", flush=True)


def sirve_tcp(args):
    servidor = socket.socket()
    servidor.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    servidor.bind(("127.0.0.1", 0))
    servidor.listen(16)
    print("port", servidor.getsockname()[1], flush=True)
    vistas = set()
    while True:
        conexion, _ = servidor.accept()
        with conexion:
            atiende = Atiende(args, vistas, conexion.sendall)
            while True:
                try:
                    llegado = conexion.recv(256)
                except OSError:
                    break
                if not llegado:
                    break
                try:
                    atiende.recibe(llegado)
                except OSError:
                    break


def sirve_pty(args):
    maestro, esclavo = pty.openpty()
    tty.setraw(esclavo)
    print(os.ttyname(esclavo), flush=True)

    def envia(datos):
        os.write(maestro, datos)

    atiende = Atiende(args, set(), envia)
    while True:
        try:
            llegado = os.read(maestro, 256)
        except OSError:
            time.sleep(0.05)  # nobody has the line open
            continue
        atiende.recibe(llegado)


def main():
    argumentos = sys.argv[1:]
    args = {"pty": False, "latencia": 0.0, "ignora_uno": False}
    while argumentos and argumentos[0].startswith("--"):
        opcion = argumentos.pop(0)
        if opcion == "--pty":
            args["pty"] = True
        elif opcion == "--ignore-single":
            args["ignora_uno"] = True
        elif opcion == "--latency" and argumentos:
            args["latencia"] = float(argumentos.pop(0)) / 1000
        else:
            print(__doc__, file=sys.stderr)
            return 2
    if len(argumentos) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    args["fallo"], args["direccion"] = argumentos[0], int(argumentos[1])
    args["demora"] = float(argumentos[2]) if len(argumentos) == 3 else 0.0
    if args["pty"]:
        sirve_pty(args)
    else:
        sirve_tcp(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
