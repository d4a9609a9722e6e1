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
  plugin-failure CODE   the plugins' connection (which owns the plugins' bus
                        names, as the real plugins do) emits
                        VPN.Plugin.Failure(CODE)
  forge vpn|active|plugin-failure ARGS...
                        the same signal, sent from another connection of
                        the bus (a local user's forgery): not NetworkManager
  replay NAME           plays tests/support/nm_recordings/NAME.seq, the
                        signals recorded from the real NetworkManager
  state                 prints the newest active connection's State and VpnState
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

# Deactivation ends the connection as NetworkManager 1.42.4 was recorded
# doing it: DEACTIVATING, then (only for a VPN still connecting,
# nm_recordings/ipsec-cancel.seq) VPN ACTIVATED with reason
# USER_DISCONNECTED, then DEACTIVATED and VPN DISCONNECTED
# (nm_recordings/deactivate.seq).
DEACTIVATE = '''
ac = objects.get(args[0])
if ac is None:
    raise dbus.exceptions.DBusException('Not active',
        name='org.freedesktop.NetworkManager.ConnectionNotActive')
A = 'org.freedesktop.NetworkManager.Connection.Active'
V = 'org.freedesktop.NetworkManager.VPN.Connection'
steps = [(A, 'State', 'StateChanged', 3)]
if ac.props[V]['VpnState'] < 5:
    steps.append((V, 'VpnState', 'VpnStateChanged', 5))
steps += [(A, 'State', 'StateChanged', 4), (V, 'VpnState', 'VpnStateChanged', 7)]
for iface, prop, sig, state in steps:
    ac.props[iface][prop] = dbus.UInt32(state)
    ac.EmitSignal(iface, sig, 'uu', [dbus.UInt32(state), dbus.UInt32(2)])
'''

RECORDINGS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'nm_recordings')
PLUGIN_NAMES = [NM + '.pptp', NM + '.l2tp', NM + '.vpnc']


def send_signal(conn, path, iface, member, signature, args):
    msg = dbus.lowlevel.SignalMessage(path, iface, member)
    msg.append(*args, signature=signature)
    conn.send_message(msg)
    conn.flush()


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
    # The plugins' own connection, owning their names, and a stranger's.
    plugins = dbus.bus.BusConnection(address)
    for name in PLUGIN_NAMES:
        plugins.request_name(name)
    stranger = dbus.bus.BusConnection(address)
    print('address ' + address, flush=True)

    def newest_active():
        props = dbus.Interface(bus.get_object(NM, MANAGER), dbus.PROPERTIES_IFACE)
        actives = props.Get(NM, 'ActiveConnections')
        return str(actives[-1]) if actives else None

    def mock_at(path):
        return dbus.Interface(bus.get_object(NM, path), dbusmock.MOCK_IFACE)

    def emit(words, forged=False):
        """One signal line: vpn/active STATE REASON, plugin-failure CODE."""
        cmd = words[0]
        if cmd in ('vpn', 'active'):
            path = newest_active()
            iface, prop, sig = ((VPN_IFACE, 'VpnState', 'VpnStateChanged') if cmd == 'vpn' else
                                (ACTIVE_IFACE, 'State', 'StateChanged'))
            state, reason = dbus.UInt32(int(words[1])), dbus.UInt32(int(words[2]))
            if forged:
                send_signal(stranger, path, iface, sig, 'uu', [state, reason])
            else:
                m = mock_at(path)
                m.UpdateProperties(iface, {prop: state})
                m.EmitSignal(iface, sig, 'uu', [state, reason])
            return path
        if cmd == 'plugin-failure':
            send_signal(stranger if forged else plugins, PLUGIN_PATH, PLUGIN_IFACE, 'Failure', 'u',
                        [dbus.UInt32(int(words[1]))])
            return ''
        raise ValueError('unknown signal ' + cmd)

    def stop_nm():
        server.terminate()
        server.wait()

    def replay(name):
        with open(os.path.join(RECORDINGS, name + '.seq')) as f:
            for line in f:
                words = line.split()
                if not words or words[0].startswith('#'):
                    continue
                if words[:2] == ['plugin', 'failure']:
                    words = ['plugin-failure'] + words[2:]
                if words == ['nm', 'stops']:
                    stop_nm()
                else:
                    emit(words)

    try:
        for line in sys.stdin:
            words = line.split()
            if not words:
                continue
            cmd = words[0]
            try:
                if cmd in ('vpn', 'active', 'plugin-failure'):
                    path = emit(words)
                    print(('ok ' + path) if path else 'ok', flush=True)
                elif cmd == 'forge':
                    emit(words[1:], forged=True)
                    print('ok', flush=True)
                elif cmd == 'replay':
                    replay(words[1])
                    print('ok', flush=True)
                elif cmd == 'state':
                    props = dbus.Interface(bus.get_object(NM, newest_active()),
                                           dbus.PROPERTIES_IFACE)
                    print('ok %d %d' % (props.Get(ACTIVE_IFACE, 'State'),
                                        props.Get(VPN_IFACE, 'VpnState')), flush=True)
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
                    stop_nm()
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
