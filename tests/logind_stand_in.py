# SPDX-License-Identifier: MIT
"""A stand-in for systemd-logind on a private bus, for the tests of
quennet-update's sleep lock: python-dbusmock's logind template, whose
Inhibit can also refuse any lock on the keys and the lid (as logind's
polkit defaults do for a session that is not local, over SSH) or take the
call and never answer. Parameters: {"refuse_keys": true} or {"silent": true}.
"""
import time

import dbus
from dbusmock.templates import logind
from dbusmock.templates.logind import *  # noqa: F401,F403 (the template's methods and names)

SETTINGS = {}


def load(mock, parameters):
    logind.load(mock, parameters)
    SETTINGS.update(parameters)


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='h')  # noqa: F405
def Inhibit(self, what, who, why, mode):
    if SETTINGS.get('silent'):
        time.sleep(60)  # the caller gives up long before
    if SETTINGS.get('refuse_keys') and 'handle-' in what:
        raise dbus.exceptions.DBusException('Access denied', name='org.freedesktop.DBus.Error.AccessDenied')
    return logind.Inhibit(self, what, who, why, mode)
