#!/usr/bin/env python3
"""Seeds of fuzz_rtu from the simulator's real replies.

    python3 fuzz/semillas_rtu.py BUILD/bin/tolvex-sim fuzz/corpus/rtu

Starts tolvex-sim on TCP, asks it what the station asks in a whole-state
read (and a command write, a read of a register it refuses), and writes each
reply in the two forms fuzz_rtu reads: alone against the checks, and as the
answers of a whole-state read.
"""
import os, socket, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
from link_peer_rtu import crc16  # noqa: E402  (the test peer's Modbus CRC)


def lectura(i, d, n):
    t = bytes([i, 3, d >> 8, d & 255, 0, n])
    return t + crc16(t)


def escritura(i, d, v):
    t = bytes([i, 6, d >> 8, d & 255, v >> 8, v & 255])
    return t + crc16(t)


def pide(s, trama, largo):
    s.sendall(trama)
    r = b''
    s.settimeout(2)
    try:
        while len(r) < largo:
            b = s.recv(256)
            if not b:
                break
            r += b
            if len(r) >= 5 and r[1] & 0x80:
                break
    except socket.timeout:
        pass
    return r


def main():
    sim, salida = sys.argv[1], sys.argv[2]
    puerto = 55518
    p = subprocess.Popen([sim, '--tcp', str(puerto), '--id', '1', '--decimals', '1', '--speed', '50'],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(50):
            try:
                s = socket.create_connection(('127.0.0.1', puerto))
                break
            except OSError:
                time.sleep(0.1)
        # Started, so that the registers move.
        pide(s, escritura(1, 7, ord('V')), 8)
        time.sleep(0.5)
        bloques = [(0, 2), (14204, 6), (14379, 8), (14387, 3), (14383, 7), (14396, 8)]
        for vuelta in range(3):
            respuestas = []
            for d, n in bloques:
                r = pide(s, lectura(1, d, n), 5 + 2 * n)
                respuestas.append(r)
                # Alone, against the checks of a read of n registers (id 1).
                with open(os.path.join(salida, 'lectura-%d-%d-%d' % (vuelta, d, n)), 'wb') as f:
                    f.write(bytes([0, n - 1, 1, 1, d >> 8, d & 255, 0, 0]) + r)
            for v in (ord('V'), ord('X')):
                respuestas.append(pide(s, escritura(1, 7, v), 8))
            with open(os.path.join(salida, 'estado-%d' % vuelta), 'wb') as f:
                f.write(bytes([1, 1, 1]) + b''.join(bytes([0, len(r)]) + r for r in respuestas) + b'V\x00X\x00')
            time.sleep(1)
        eco = pide(s, escritura(1, 7, ord('Z')), 8)
        with open(os.path.join(salida, 'eco-escritura'), 'wb') as f:
            f.write(bytes([0, 0, 1, 1, 0, 7, ord('Z'), 0]) + eco)
        # A register outside the map: the simulator's exception reply.
        exc = pide(s, lectura(1, 40000, 2), 9)
        with open(os.path.join(salida, 'excepcion'), 'wb') as f:
            f.write(bytes([0, 1, 1, 1, 0x9c, 0x40, 0, 0]) + exc)
    finally:
        p.terminate()
        p.wait()


if __name__ == '__main__':
    main()
