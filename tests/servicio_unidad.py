#!/usr/bin/env python3
"""The recorder's template unit as systemd reads it.

    servicio_unidad.py UNIT PROGRAM

Instantiates the template for a directory whose path needs escaping, with
ExecStart pointing at the built PROGRAM, and runs `systemd-analyze verify`
on it: any complaint fails. Then checks what the service needs to reach a
plant: restarts, order after the network and PostgreSQL, serial ports.
Exits 77 when systemd-analyze is missing.
"""
import configparser
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    unidad, programa = sys.argv[1], sys.argv[2]
    analiza = shutil.which('systemd-analyze')
    escape = shutil.which('systemd-escape')
    if not analiza or not escape:
        print('sin systemd-analyze: se omite')
        return 77
    texto = open(unidad, encoding='utf-8').read()
    assert '/usr/bin/tolvex-registro %f' in texto, 'ExecStart no es /usr/bin/tolvex-registro %f'
    instancia = subprocess.run([escape, '--path', '/srv/tolvex/planta 1'], check=True,
                               capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory() as tmp:
        ruta = os.path.join(tmp, 'tolvex-registro@%s.service' % instancia)
        with open(ruta, 'w', encoding='utf-8') as f:
            f.write(texto.replace('/usr/bin/tolvex-registro', programa))
        r = subprocess.run([analiza, 'verify', ruta], capture_output=True, text=True)
        quejas = [l for l in (r.stdout + r.stderr).splitlines() if l.strip()]
        assert r.returncode == 0 and not quejas, 'systemd-analyze verify:\n' + '\n'.join(quejas)

    c = configparser.ConfigParser(strict=False, interpolation=None)
    c.optionxform = str
    c.read_string(texto)
    s = c['Service']
    assert s.get('Restart') == 'always', s.get('Restart')
    assert 'dialout' in s.get('SupplementaryGroups', '').split(), 'sin dialout'
    assert s.get('User') and s.get('Group'), 'sin User= o Group='
    despues = c['Unit'].get('After', '').split()
    assert 'network-online.target' in despues and 'postgresql.service' in despues, despues
    # Hardening that would hide the serial ports from it.
    for clave in ('PrivateDevices', 'DevicePolicy'):
        assert clave not in s, clave + ' deja fuera los puertos serie'
    print('unidad verificada: tolvex-registro@%s.service' % instancia)
    return 0


if __name__ == '__main__':
    sys.exit(main())
