// The main window's control ids, shared by the window and its portable rules.
#pragma once

enum ControlId : int {
    IdFirmwareEdit = 1001,
    IdBrowse = 1002,
    IdComPortRadio = 1003,
    IdNetworkRadio = 1004,
    IdPortCombo = 1005,
    IdRefresh = 1006,
    IdDiscoveredCombo = 1007,
    IdDiscover = 1008,
    IdAddressEdit = 1009,
    IdTelnetPortEdit = 1010,
    IdConnect = 1011,
    IdReadLog = 1012,
    IdStartUpdate = 1013,
    IdCancel = 1014,
    IdProgress = 1015,
    IdStatus = 1016,
    IdConnectionState = 1017,
    IdLog = 1018,
};
