#!/usr/bin/python3
"""An independent Sparkplug B host for the tests: paho-mqtt and the Python
code protoc generates from mqtt/sparkplug_b.proto.

    mqtt_suscriptor.py escucha PUERTO GRUPO PB_DIR [CLIENTE]
        Subscribes to spBv1.0/GRUPO/# and tolvex/GRUPO/#, QoS 1 (with CLIENTE:
        a session the broker keeps while it is away), and prints a JSON line
        per message: {"tema", "tipo", "nodo", "disp", "seq", "ms", "metricas":
        [{"nombre", "alias", "tipo", "valor"}...]} or, for a batch, {"tipo":
        "lote", "lote": {...}}. It checks what a Sparkplug host relies on and
        prints {"fallo": "..."} for every breach: NBIRTH with seq 0, a bdSeq
        (Int64) and Node Control/Rebirth; every later message of the node with
        the seq after the one before (0..255); DBIRTH with every metric named
        and with an alias unique in the node; DDATA by known aliases only, of
        a device born, at least 200 ms after the device's previous one (the
        node's own clock); NDEATH carrying bdSeq. An NDEATH whose bdSeq is not
        the last NBIRTH's is printed with "vieja": true. Ends at stdin's end.
    mqtt_suscriptor.py manda PUERTO TEMA QUE PB_DIR
        Publishes once: QUE "rebirth" (an NCMD asking for it), "dcmd" (a
        DCMD setting Peso), "basura" (random bytes), "grande" (100 KB of a
        valid payload's prefix).
"""
import json
import os
import sys
import threading

import paho.mqtt.client as mqtt


def carga_pb(pb_dir):
    sys.path.insert(0, pb_dir)
    import sparkplug_b_pb2
    return sparkplug_b_pb2


def valor(m):
    campo = m.WhichOneof("value")
    return getattr(m, campo) if campo else None


class Host:
    def __init__(self, pb, grupo):
        self.pb = pb
        self.grupo = grupo
        self.nodos = {}
        self.lock = threading.Lock()

    def emite(self, obj):
        with self.lock:
            sys.stdout.write(json.dumps(obj, ensure_ascii=False) + "\n")
            sys.stdout.flush()

    def fallo(self, texto):
        self.emite({"fallo": texto})

    def recibe(self, tema, datos):
        partes = tema.split("/")
        if partes[0] == "tolvex":
            try:
                lote = json.loads(datos.decode("utf-8"))
            except ValueError:
                self.fallo("lote que no es JSON en " + tema)
                return
            self.emite({"tipo": "lote", "tema": tema, "lote": lote})
            return
        if len(partes) < 4 or partes[0] != "spBv1.0" or partes[1] != self.grupo:
            self.fallo("tema inesperado " + tema)
            return
        tipo, nodo = partes[2], partes[3]
        disp = partes[4] if len(partes) > 4 else None
        p = self.pb.Payload()
        try:
            p.ParseFromString(datos)
        except Exception as e:  # noqa: BLE001 - any decoding failure is a breach
            if tipo in ("NCMD", "DCMD"):  # anyone may send garbage there
                self.emite({"tema": tema, "tipo": tipo, "basura": True})
            else:
                self.fallo("%s no decodifica: %s" % (tema, e))
            return
        seq = p.seq if p.HasField("seq") else None
        metricas = [{"nombre": m.name if m.HasField("name") else None,
                     "alias": m.alias if m.HasField("alias") else None,
                     "tipo": m.datatype, "valor": valor(m)} for m in p.metrics]
        salida = {"tema": tema, "tipo": tipo, "nodo": nodo, "disp": disp, "seq": seq,
                  "ms": p.timestamp, "metricas": metricas}
        self.comprueba(tipo, nodo, disp, seq, p.timestamp, metricas, salida)
        self.emite(salida)

    def comprueba(self, tipo, nodo, disp, seq, ms, metricas, salida):
        n = self.nodos.setdefault(nodo, {"seq": None, "bdseq": None, "alias": {}, "disp": {}})
        if tipo in ("NCMD", "DCMD"):
            return
        if tipo == "NDEATH":
            bd = [m for m in metricas if m["nombre"] == "bdSeq"]
            if len(bd) != 1:
                self.fallo("NDEATH sin bdSeq")
                return
            if bd[0]["valor"] != n["bdseq"]:
                salida["vieja"] = True
            else:
                n["seq"] = None
                n["disp"] = {}
            return
        if tipo == "NBIRTH":
            if seq != 0:
                self.fallo("NBIRTH con seq %s" % seq)
            bd = [m for m in metricas if m["nombre"] == "bdSeq"]
            if len(bd) != 1 or bd[0]["tipo"] != 4:
                self.fallo("NBIRTH sin bdSeq Int64")
            else:
                n["bdseq"] = bd[0]["valor"]
            rb = [m for m in metricas if m["nombre"] == "Node Control/Rebirth"]
            if len(rb) != 1 or rb[0]["tipo"] != 11 or rb[0]["valor"] is not False:
                self.fallo("NBIRTH sin Node Control/Rebirth = false")
            n["seq"] = 0
            n["alias"] = {m["alias"]: None for m in metricas if m["alias"] is not None}
            n["disp"] = {}
            return
        if n["seq"] is None:
            self.fallo("%s de %s antes de su NBIRTH" % (tipo, nodo))
            return
        if seq != (n["seq"] + 1) % 256:
            self.fallo("%s con seq %s después de %s" % (tipo, seq, n["seq"]))
        n["seq"] = seq
        if tipo == "DBIRTH":
            aliases = set()
            for m in metricas:
                if not m["nombre"] or m["alias"] is None or m["valor"] is None:
                    self.fallo("DBIRTH de %s con una métrica sin nombre, alias o valor" % disp)
                    continue
                otro = n["alias"].get(m["alias"])
                if otro is not None and otro != disp:
                    self.fallo("alias %s de %s ya es de %s" % (m["alias"], disp, otro))
                n["alias"][m["alias"]] = disp
                aliases.add(m["alias"])
            n["disp"][disp] = {"alias": aliases, "ms": None}
        elif tipo == "DDATA":
            d = n["disp"].get(disp)
            if d is None:
                self.fallo("DDATA de %s sin DBIRTH" % disp)
                return
            for m in metricas:
                if m["nombre"] is not None or m["alias"] not in d["alias"]:
                    self.fallo("DDATA de %s con la métrica %s/%s" % (disp, m["nombre"], m["alias"]))
            if not metricas:
                self.fallo("DDATA de %s sin métricas" % disp)
            if d["ms"] is not None and ms - d["ms"] < 195:
                self.fallo("DDATA de %s a %d ms del anterior" % (disp, ms - d["ms"]))
            d["ms"] = ms
        elif tipo == "DDEATH":
            if disp not in n["disp"]:
                self.fallo("DDEATH de %s sin DBIRTH" % disp)
            n["disp"].pop(disp, None)
        else:
            self.fallo("tipo inesperado " + tipo)


def escucha(puerto, grupo, pb_dir, cliente):
    pb = carga_pb(pb_dir)
    host = Host(pb, grupo)
    c = mqtt.Client(client_id=cliente or "", clean_session=not cliente)

    def al_conectar(cl, _u, _f, rc):
        if rc == 0:
            cl.subscribe([("spBv1.0/%s/#" % grupo, 1), ("tolvex/%s/#" % grupo, 1)])

    def al_suscribir(_cl, _u, _mid, _q):
        host.emite({"tipo": "suscrito"})

    c.on_connect = al_conectar
    c.on_subscribe = al_suscribir
    c.on_message = lambda _cl, _u, m: host.recibe(m.topic, m.payload)
    c.reconnect_delay_set(0.2, 1)
    c.connect_async("127.0.0.1", puerto, 5)
    c.loop_start()
    sys.stdin.read()
    c.loop_stop()


def manda(puerto, tema, que, pb_dir):
    pb = carga_pb(pb_dir)
    p = pb.Payload()
    p.timestamp = 1
    if que == "rebirth":
        m = p.metrics.add()
        m.name = "Node Control/Rebirth"
        m.datatype = 11
        m.boolean_value = True
        datos = p.SerializeToString()
    elif que == "dcmd":
        m = p.metrics.add()
        m.name = "Peso"
        m.datatype = 10
        m.double_value = 1.0
        datos = p.SerializeToString()
    elif que == "basura":
        datos = os.urandom(300)
    else:
        m = p.metrics.add()
        m.name = "x" * 100000
        datos = p.SerializeToString()
    c = mqtt.Client()
    c.connect("127.0.0.1", puerto, 5)
    c.loop_start()
    c.publish(tema, datos, qos=1).wait_for_publish()
    c.loop_stop()
    c.disconnect()


if __name__ == "__main__":
    if sys.argv[1] == "escucha":
        escucha(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5] if len(sys.argv) > 5 else None)
    else:
        manda(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5])
