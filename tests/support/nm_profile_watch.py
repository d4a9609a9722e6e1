#!/usr/bin/python3
"""Reads back every connection profile NetworkManager adds, for tests.

Run as root on the system bus that DBUS_SYSTEM_BUS_ADDRESS names. A profile
may live a fraction of a second (a PPTP attempt fails at once where pppd
cannot run, and its profile goes with it): this watcher asks NetworkManager
for the settings of each new profile as soon as it announces it
(Settings.NewConnection), and prints one line per profile (flushed):

  new UUID ID permissions=P1,P2 data=KEY=VALUE;KEY=VALUE...

with the VPN data keys sorted (no secrets: GetSettings leaves them out), and
"removed PATH" when NetworkManager announces a profile's removal. It prints
"listening" when it is ready, and runs until it is ended.
"""

import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

NM = 'org.freedesktop.NetworkManager'
SETTINGS = '/org/freedesktop/NetworkManager/Settings'


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    def new_connection(path):
        try:
            conn = dbus.Interface(bus.get_object(NM, path), NM + '.Settings.Connection')
            settings = conn.GetSettings()
        except dbus.DBusException as e:
            print('unreadable %s %s' % (path, e.get_dbus_name()), flush=True)
            return
        c = settings.get('connection', {})
        data = settings.get('vpn', {}).get('data', {})
        print('new %s %s permissions=%s data=%s' %
              (c.get('uuid', ''), c.get('id', ''), ','.join(c.get('permissions', [])),
               ';'.join('%s=%s' % (k, data[k]) for k in sorted(data))), flush=True)

    def removed(path):
        print('removed %s' % path, flush=True)

    bus.add_signal_receiver(new_connection, 'NewConnection', NM + '.Settings', NM, SETTINGS)
    bus.add_signal_receiver(removed, 'ConnectionRemoved', NM + '.Settings', NM, SETTINGS)
    print('listening', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    sys.exit(main())
