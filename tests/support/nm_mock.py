#!/usr/bin/python3
"""A scripted NetworkManager on a private system bus, for tests of the
connection driver.

Starts a private dbus-daemon (system-bus configuration) and python3-dbusmock's
networkmanager template on it. Activating a connection makes an active VPN
connection that stays in ACTIVATING (VPN state PREPARE) until the test says
otherwise. Prints "address <bus address>", then reads commands from standard
input, one per line, and answers each with one line ("ok ..." or "error ..."):

  vpn STATE REASON      the newest active connection's VpnState becomes STATE
                        and it emits VPN.Connection.VpnStateChanged
  active STATE REASON   likewise State and Connection.Active.StateChanged
  plugin-failure CODE   emits VPN.Plugin.Failure(CODE)
  settings              prints the newest profile's settings and secrets as JSON
  profiles              prints the number of profiles
  calls                 prints the manager's method calls, comma-separated
  stop-nm               ends NetworkManager (the bus stays)
  quit                  ends everything (so does the end of standard input)
"""

import json
import os
import shutil
import signal
import subprocess
import sys

import dbus
import dbusmock

NM = 'org.freedesktop.NetworkManager'
MANAGER = '/org/freedesktop/NetworkManager'
SETTINGS = '/org/freedesktop/NetworkManager/Settings'
MAIN = '/org/freedesktop'
VPN_IFACE = NM + '.VPN.Connection'
ACTIVE_IFACE = NM + '.Connection.Active'
PLUGIN_PATH = '/org/freedesktop/NetworkManager/VPN/Plugin'
PLUGIN_IFACE = NM + '.VPN.Plugin'

ACTIVATE = '''
n = len(objects)
path = objects['/org/freedesktop'].AddActiveConnection([], args[0], '/', 'vpn%d' % n,
                                                       dbus.UInt32(1))
objects[path].AddProperties('org.freedesktop.NetworkManager.VPN.Connection',
                            {'VpnState': dbus.UInt32(1), 'Banner': ''})
ret = dbus.ObjectPath(path)
'''

# Deactivation ends the connection the way NetworkManager does: DEACTIVATING,
# then DEACTIVATED and VPN DISCONNECTED, reason USER_DISCONNECTED (2).
DEACTIVATE = '''
ac = objects.get(args[0])
if ac is None:
    raise dbus.exceptions.DBusException('Not active',
        name='org.freedesktop.NetworkManager.ConnectionNotActive')
ac.EmitSignal('org.freedesktop.NetworkManager.Connection.Active', 'StateChanged', 'uu',
              [dbus.UInt32(3), dbus.UInt32(2)])
ac.EmitSignal('org.freedesktop.NetworkManager.Connection.Active', 'StateChanged', 'uu',
              [dbus.UInt32(4), dbus.UInt32(2)])
ac.EmitSignal('org.freedesktop.NetworkManager.VPN.Connection', 'VpnStateChanged', 'uu',
              [dbus.UInt32(7), dbus.UInt32(2)])
'''


def main():
    case = dbusmock.DBusTestCase
    case.start_system_bus()
    address = os.environ['DBUS_SYSTEM_BUS_ADDRESS']
    server, _ = case.spawn_server_template('networkmanager', {}, stdout=subprocess.DEVNULL)
    bus = case.get_dbus(system_bus=True)
    manager = dbus.Interface(bus.get_object(NM, MANAGER), dbusmock.MOCK_IFACE)
    manager.AddMethod(NM, 'ActivateConnection', 'ooo', 'o', ACTIVATE)
    manager.AddMethod(NM, 'DeactivateConnection', 'o', '', DEACTIVATE)
    main_mock = dbus.Interface(bus.get_object(NM, MAIN), dbusmock.MOCK_IFACE)
    main_mock.AddObject(PLUGIN_PATH, PLUGIN_IFACE, {}, [])
    print('address ' + address, flush=True)

    def newest_active():
        props = dbus.Interface(bus.get_object(NM, MANAGER), dbus.PROPERTIES_IFACE)
        actives = props.Get(NM, 'ActiveConnections')
        return str(actives[-1]) if actives else None

    def mock_at(path):
        return dbus.Interface(bus.get_object(NM, path), dbusmock.MOCK_IFACE)

    try:
        for line in sys.stdin:
            words = line.split()
            if not words:
                continue
            cmd = words[0]
            try:
                if cmd in ('vpn', 'active'):
                    path = newest_active()
                    iface, prop, sig = ((VPN_IFACE, 'VpnState', 'VpnStateChanged')
                                           if cmd == 'vpn' else
                                           (ACTIVE_IFACE, 'State', 'StateChanged'))
                    state, reason = dbus.UInt32(int(words[1])), dbus.UInt32(int(words[2]))
                    m = mock_at(path)
                    m.UpdateProperties(iface, {prop: state})
                    m.EmitSignal(iface, sig, 'uu', [state, reason])
                    print('ok ' + path, flush=True)
                elif cmd == 'plugin-failure':
                    mock_at(PLUGIN_PATH).EmitSignal(PLUGIN_IFACE, 'Failure', 'u',
                                                    [dbus.UInt32(int(words[1]))])
                    print('ok', flush=True)
                elif cmd in ('settings', 'profiles'):
                    props = dbus.Interface(bus.get_object(NM, SETTINGS), dbus.PROPERTIES_IFACE)
                    conns = props.Get(NM + '.Settings', 'Connections')
                    if cmd == 'profiles':
                        print('ok %d' % len(conns), flush=True)
                        continue
                    c = dbus.Interface(bus.get_object(NM, conns[-1]),
                                       NM + '.Settings.Connection')
                    s = c.GetSettings()
                    s['secrets'] = c.GetSecrets('vpn')['vpn']
                    out = {k: {kk: (dict(vv) if isinstance(vv, dbus.Dictionary) else
                                    [str(x) for x in vv] if isinstance(vv, dbus.Array) else
                                    (bool(vv) if isinstance(vv, dbus.Boolean) else str(vv)))
                               for kk, vv in v.items()} for k, v in s.items()}
                    print('ok ' + json.dumps(out, sort_keys=True), flush=True)
                elif cmd == 'calls':
                    calls = mock_at(MANAGER).GetCalls()
                    print('ok ' + ','.join(str(c[1]) for c in calls), flush=True)
                elif cmd == 'stop-nm':
                    server.terminate()
                    server.wait()
                    print('ok', flush=True)
                elif cmd == 'quit':
                    break
                else:
                    print('error unknown command', flush=True)
            except Exception as e:  # pylint: disable=broad-except
                print('error ' + str(e).replace('\n', ' '), flush=True)
    finally:
        if server.poll() is None:
            server.terminate()
            server.wait()
        if os.getpid() == 1:
            # PID 1 of its own namespace: the forked bus is our child to reap.
            os.kill(case.system_bus_pid, signal.SIGTERM)
            try:
                while True:
                    os.wait()
            except ChildProcessError:
                pass
        else:
            case.stop_dbus(case.system_bus_pid)
        # The bus configuration dbusmock wrote for it.
        datadir = getattr(case, '_DBusTestCase__datadir', None)
        if datadir:
            shutil.rmtree(datadir, ignore_errors=True)


if __name__ == '__main__':
    main()
