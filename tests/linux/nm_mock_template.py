'''A NetworkManager mock that behaves like the real daemon where Teleora
relies on it, with failure injection.

Wraps python3-dbusmock's stock "networkmanager" template and replaces
ActivateConnection and DeactivateConnection:

- activating an unknown profile raises UnknownConnection;
- activating a profile that is already active replaces its active connection;
- an activation goes "activating" (1) first and, after a delay, "activated"
  (2) or "deactivated" (4) with a reason, announced by StateChanged; a failed
  active connection then disappears;
- deactivating an unknown active connection raises ConnectionNotActive, and
  deactivation touches only the named connection (3, then 4 and gone);
- active-connection paths are never reused within one run;
- an activation that fails with no delay fails before its answer, and a
  failed connection's object stays a moment after it has left the list.

Parameters: {"profiles": [[id, type], ...]} are there from the start.

Extra methods on org.freedesktop.DBus.Mock at /org/freedesktop:
  AddProfile(id, type) -> path
                        type "bluetooth/dun" (or "/panu", "/nap") is a
                        bluetooth profile with that bluetooth.type
  SetActivationOutcome(id, reason, delay_ms, device_reason)
      reason 0 = success; device_reason >= 0 also makes the connection's
      device fail with that NMDeviceStateReason first
  SetActivationError(id, error_name, message)   empty name clears
  Freeze(ms)            stop answering for ms milliseconds
  FreezeAfterActivation(id, ms)
                        after answering ActivateConnection for id, stop
                        answering for ms milliseconds
  BreakReply(what)      a reply of the wrong type from then on: "ListConnections"
                        (as, not ao), "ActiveConnections" (the property as
                        as), "State" (every active connection's State as a
                        string), "ActivateConnection" (s, not o),
                        "DeactivateConnection" (s, not nothing); "GetSettings":
                        another user's Bluetooth DUN link comes up, and its
                        profile refuses to be read (Settings.PermissionDenied);
                        "GetSettings hangs": a PPPoE profile "Muto" whose
                        GetSettings answers only after 2.5 s (a hung daemon)
  ActiveIds() -> as     ids of the active connections, in order
  Drop(id)              id's active connection goes down by itself
  DropSilently(id)      the same without a signal: NetworkManager's state
                        changes but nobody is told (as a service that sends
                        no notifications); both are stamped in the mock's log
  ClearFaults()
'''

import time

import dbus
from gi.repository import GLib

import dbusmock
from dbusmock import MOCK_IFACE
from dbusmock.templates.networkmanager import *  # noqa: F401,F403  (stock methods and constants)
from dbusmock.templates import networkmanager as stock

MANAGER_OBJ = stock.MANAGER_OBJ
MANAGER_IFACE = stock.MANAGER_IFACE
SETTINGS_OBJ = stock.SETTINGS_OBJ
ACTIVE_IFACE = stock.ACTIVE_CONNECTION_IFACE
DEVICE_IFACE = stock.DEVICE_IFACE
NM_ERROR = 'org.freedesktop.NetworkManager.'

ACTIVATING, ACTIVATED, DEACTIVATING, DEACTIVATED = 1, 2, 3, 4
REASON_NONE, REASON_USER = 1, 2
DEVICE_FAILED, DEVICE_CONFIG = 120, 50

_outcomes = {}   # id -> (reason, delay_ms, device_reason)
_errors = {}     # id -> (name, message)
_counter = [0]   # last active-connection number handed out
_devices = {}    # id -> device path made for device failures
_freeze_after = {}  # id -> ms of silence after its ActivateConnection


def _manager():
    return dbusmock.get_object(MANAGER_OBJ)


def _active_paths():
    return list(_manager().Get(MANAGER_IFACE, 'ActiveConnections'))


def _set_active_paths(paths):
    _manager().SetProperty(MANAGER_OBJ, MANAGER_IFACE, 'ActiveConnections',
                           dbus.Array(paths, signature='o'))


def _settings_of(profile_path):
    return dbusmock.get_object(profile_path).settings['connection']


def _set_state(path, state, reason):
    obj = dbusmock.get_object(path)
    if not isinstance(obj.Get(ACTIVE_IFACE, 'State'), dbus.String):  # kept broken (BreakReply)
        obj.Set(ACTIVE_IFACE, 'State', dbus.UInt32(state))
    obj.EmitSignal(ACTIVE_IFACE, 'StateChanged', 'uu', [dbus.UInt32(state), dbus.UInt32(reason)])


def _unexport(path):
    try:
        _manager().object_manager_emit_removed(path)
        _manager().RemoveObject(path)
    except dbus.exceptions.DBusException:
        pass
    return False


def _remove_active(path, linger_ms=0):
    paths = _active_paths()
    if path in paths:
        paths.remove(path)
        _set_active_paths(paths)
    if linger_ms:
        GLib.timeout_add(linger_ms, _unexport, path)
    else:
        _unexport(path)


def _device_for(profile_id):
    if profile_id not in _devices:
        name = 'dialup%d' % len(_devices)
        _devices[profile_id] = _manager().AddEthernetDevice(name, 'ppp%d' % len(_devices), 30)
    return _devices[profile_id]


def _finish(path, profile_id):
    if path not in _active_paths():
        return False
    reason, _, device_reason = _outcomes.get(profile_id, (0, 30, -1))
    if reason == 0:
        _set_state(path, ACTIVATED, REASON_NONE)
        return False
    if device_reason >= 0:
        device = dbusmock.get_object(_device_for(profile_id))
        device.Set(DEVICE_IFACE, 'State', dbus.UInt32(DEVICE_FAILED))
        device.EmitSignal(DEVICE_IFACE, 'StateChanged', 'uuu',
                          [dbus.UInt32(DEVICE_FAILED), dbus.UInt32(DEVICE_CONFIG),
                           dbus.UInt32(device_reason)])
    _set_state(path, DEACTIVATED, reason)
    _remove_active(path, 200)
    return False


def activate(self, profile_path, device, specific):
    settings = dbusmock.get_object(SETTINGS_OBJ).Get(stock.SETTINGS_IFACE, 'Connections')
    if profile_path not in settings:
        raise dbus.exceptions.DBusException('Connection %s is not known' % profile_path,
                                            name=NM_ERROR + 'UnknownConnection')
    conn = _settings_of(profile_path)
    profile_id = str(conn['id'])
    if profile_id in _errors:
        name, message = _errors[profile_id]
        raise dbus.exceptions.DBusException(message, name=name)

    # The daemon replaces an active connection of the same profile.
    for path in _active_paths():
        if dbusmock.get_object(path).Get(ACTIVE_IFACE, 'Connection') == profile_path:
            _set_state(path, DEACTIVATED, REASON_USER)
            _remove_active(path)

    _counter[0] += 1
    path = '/org/freedesktop/NetworkManager/ActiveConnection/%d' % _counter[0]
    _, delay, device_reason = _outcomes.get(profile_id, (0, 30, -1))
    devices = [dbus.ObjectPath(_device_for(profile_id))] if device_reason >= 0 else []
    self.AddObject(path, ACTIVE_IFACE, {
        'Devices': dbus.Array(devices, signature='o'),
        'Default': False,
        'Default6': False,
        'Type': conn['type'],
        'Vpn': conn['type'] == 'vpn',
        'Connection': dbus.ObjectPath(profile_path),
        'Master': dbus.ObjectPath('/'),
        'SpecificObject': dbus.ObjectPath(specific),
        'Uuid': conn['uuid'],
        'State': dbus.UInt32(ACTIVATING),
        'Id': conn['id'],
    }, [])
    self.object_manager_emit_added(path)
    _set_active_paths(_active_paths() + [dbus.ObjectPath(path)])
    if delay == 0 and _outcomes.get(profile_id, (0,))[0] != 0:
        _finish(path, profile_id)
    else:
        GLib.timeout_add(max(int(delay), 0), _finish, path, profile_id)
    if profile_id in _freeze_after:
        _stall_soon(_freeze_after[profile_id])
    return dbus.ObjectPath(path)


def _end(path):
    if path in _active_paths():
        _set_state(path, DEACTIVATED, REASON_USER)
        _remove_active(path)
    return False


def deactivate(self, active_path):
    if active_path not in _active_paths():
        raise dbus.exceptions.DBusException('The connection was not active.',
                                            name=NM_ERROR + 'ConnectionNotActive')
    _set_state(active_path, DEACTIVATING, REASON_USER)
    GLib.timeout_add(20, _end, active_path)


def load(mock, parameters):
    stock.load(mock, parameters)
    manager = _manager()
    manager.teleora_activate = activate
    manager.teleora_deactivate = deactivate
    manager.AddMethod(MANAGER_IFACE, 'ActivateConnection', 'ooo', 'o',
                      'ret = self.teleora_activate(self, args[0], args[1], args[2])')
    manager.AddMethod(MANAGER_IFACE, 'DeactivateConnection', 'o', '',
                      'self.teleora_deactivate(self, args[0])')
    for profile_id, profile_type in (parameters or {}).get('profiles', []):
        _add_profile(profile_id, profile_type)


def _add_profile(profile_id, profile_type):
    kind, _, bluetooth_type = str(profile_type).partition('/')
    settings = {'connection': {'id': profile_id, 'type': kind}}
    if bluetooth_type:
        settings['bluetooth'] = {'type': bluetooth_type}
    return dbusmock.get_object(SETTINGS_OBJ).SettingsAddConnection(settings)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='o')
def AddProfile(self, profile_id, profile_type):
    return _add_profile(profile_id, profile_type)


@dbus.service.method(MOCK_IFACE, in_signature='suui', out_signature='')
def SetActivationOutcome(self, profile_id, reason, delay_ms, device_reason):
    _outcomes[str(profile_id)] = (int(reason), int(delay_ms), int(device_reason))


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def SetActivationError(self, profile_id, name, message):
    if name:
        _errors[str(profile_id)] = (str(name), str(message))
    else:
        _errors.pop(str(profile_id), None)


def _stall_soon(ms):
    # The reply in progress has been written already; the high priority makes
    # the stall start before the next incoming call is dispatched.
    def stall():
        time.sleep(ms / 1000.0)
        return False
    GLib.idle_add(stall, priority=GLib.PRIORITY_HIGH)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def Freeze(self, ms):
    _stall_soon(ms)


@dbus.service.method(MOCK_IFACE, in_signature='su', out_signature='')
def FreezeAfterActivation(self, profile_id, ms):
    _freeze_after[str(profile_id)] = int(ms)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def BreakReply(self, what):
    manager = _manager()
    if what == 'ListConnections':
        dbusmock.get_object(SETTINGS_OBJ).AddMethod(
            stock.SETTINGS_IFACE, 'ListConnections', '', 'as',
            "ret = [str(p) for p in self.Get('%s', 'Connections')]" % stock.SETTINGS_IFACE)
    elif what == 'ActiveConnections':
        manager.SetProperty(MANAGER_OBJ, MANAGER_IFACE, 'ActiveConnections',
                            dbus.Array([str(p) for p in _active_paths()], signature='s'))
    elif what == 'State':
        for path in _active_paths():
            dbusmock.get_object(path).Set(ACTIVE_IFACE, 'State', dbus.String('activated'))
    elif what == 'ActivateConnection':
        manager.AddMethod(MANAGER_IFACE, 'ActivateConnection', 'ooo', 's',
                          'ret = str(self.teleora_activate(self, args[0], args[1], args[2]))')
    elif what == 'DeactivateConnection':
        manager.AddMethod(MANAGER_IFACE, 'DeactivateConnection', 'o', 's',
                          'self.teleora_deactivate(self, args[0]); ret = "done"')
    elif what == 'GetSettings':
        path = _add_profile('Altrui', 'bluetooth/dun')
        dbusmock.get_object(path).AddMethod(
            stock.CSETTINGS_IFACE, 'GetSettings', '', 'a{sa{sv}}',
            'raise dbus.exceptions.DBusException("Not allowed", name="%sSettings.'
            'PermissionDenied")' % NM_ERROR)
        activate(manager, path, '/', '/')
    elif what == 'GetSettings hangs':
        profile = dbusmock.get_object(_add_profile('Muto', 'pppoe'))
        profile.teleora_hang = lambda: time.sleep(2.5)
        profile.AddMethod(stock.CSETTINGS_IFACE, 'GetSettings', '', 'a{sa{sv}}',
                          'self.teleora_hang(); ret = self.ConnectionGetSettings(self)')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ActiveIds(self):
    return [str(dbusmock.get_object(p).Get(ACTIVE_IFACE, 'Id')) for p in _active_paths()]


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Drop(self, profile_id):
    self.log('Drop "%s"' % profile_id)
    for path in _active_paths():
        if str(dbusmock.get_object(path).Get(ACTIVE_IFACE, 'Id')) == profile_id:
            _set_state(path, DEACTIVATED, REASON_NONE)
            _remove_active(path)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def DropSilently(self, profile_id):
    self.log('DropSilently "%s"' % profile_id)
    manager = _manager()
    paths = _active_paths()
    for path in list(paths):
        obj = dbusmock.get_object(path)
        if str(obj.Get(ACTIVE_IFACE, 'Id')) == profile_id:
            obj.props[ACTIVE_IFACE]['State'] = dbus.UInt32(DEACTIVATED)
            paths.remove(path)
            manager.RemoveObject(path)
    manager.props[MANAGER_IFACE]['ActiveConnections'] = dbus.Array(paths, signature='o')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def ClearFaults(self):
    _outcomes.clear()
    _errors.clear()
    _freeze_after.clear()
