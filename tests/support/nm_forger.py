#!/usr/bin/python3
"""A local user who forges NetworkManager's signals, for tests.

Run as an ordinary user (tests/support/nm_namespace.sh runs it as nobody) on
the system bus that DBUS_SYSTEM_BUS_ADDRESS names. The bus lets every local
user emit any signal on any path, and NetworkManager's own signals are
broadcast, so such a user sees each VPN connection's states as they come and
can answer at once. This one does: whenever the owner of
org.freedesktop.NetworkManager announces a VPN state below ACTIVATED
(VpnStateChanged with state 1 to 4) on an active connection, it sends, from
its own connection and to that path,

  VPN.Connection.VpnStateChanged(5 ACTIVATED, 1 NONE)
  Connection.Active.StateChanged(2 ACTIVATED, 1 NONE)
  VPN.Plugin.Failure(0 LOGIN_FAILED) on the plugins' path

and prints "forged PATH after STATE" (flushed) once it has sent them. It
prints "listening" when it is ready, and runs until it is ended.
"""

import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
from gi.repository import GLib

NM = 'org.freedesktop.NetworkManager'
VPN_IFACE = NM + '.VPN.Connection'
ACTIVE_IFACE = NM + '.Connection.Active'
PLUGIN_PATH = '/org/freedesktop/NetworkManager/VPN/Plugin'
PLUGIN_IFACE = NM + '.VPN.Plugin'


def send(bus, path, iface, member, signature, args):
    msg = dbus.lowlevel.SignalMessage(path, iface, member)
    msg.append(*args, signature=signature)
    bus.send_message(msg)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    def on_vpn_state(state, reason, path=None, sender=None):
        try:
            owner = bus.get_name_owner(NM)
        except dbus.exceptions.DBusException:
            return
        if sender != owner or not 1 <= int(state) <= 4:
            return
        send(bus, path, VPN_IFACE, 'VpnStateChanged', 'uu', [dbus.UInt32(5), dbus.UInt32(1)])
        send(bus, path, ACTIVE_IFACE, 'StateChanged', 'uu', [dbus.UInt32(2), dbus.UInt32(1)])
        send(bus, PLUGIN_PATH, PLUGIN_IFACE, 'Failure', 'u', [dbus.UInt32(0)])
        bus.flush()
        print('forged %s after %d' % (path, int(state)), flush=True)

    bus.add_signal_receiver(on_vpn_state, signal_name='VpnStateChanged', dbus_interface=VPN_IFACE,
                            path_keyword='path', sender_keyword='sender')
    # The match is in place once the bus has answered a call after it.
    bus.get_name_owner('org.freedesktop.DBus')
    print('listening', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    sys.exit(main())
