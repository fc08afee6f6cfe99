#include "device/DeviceInfo.h"

#include "platform/trace.h"

bool CDeviceInfo::IsStorageDevice() const { return m_Type.IsSet() && m_Type.Get() < 512; }

void CDeviceInfo::Dump(bool withBootDrive) const {
    Trace("\t Type ", S(m_Type.IsSet() ? m_Type.Get() : -1));
    Trace("\t SubType ", S(m_SubType.IsSet() ? m_SubType.Get() : -1));
    Trace("\t Manufacturer ", m_Manufacturer.Text());
    Trace("\t Model ", m_Model.Text());
    Trace("\t Version ", m_Version.Text());
    Trace("\t Serial ", m_Serial.Text());
    Trace("\t MediaSize ", S64(m_MediaSize.IsSet() ? m_MediaSize.Get() : -1));
    Trace("\t DeviceID ", U(m_DeviceID.IsSet() ? m_DeviceID.Get() : 0xFFFFFFFFu));
    Trace("\t UniqueDeviceID ", m_UniqueDeviceID);
    Trace("\t IsRemovable ", S(m_bBootDrive ? 0 : m_bRemovable));
    Trace("\t IsStorageDevice ", F(IsStorageDevice()));
    if (withBootDrive) Trace("\t m_bootDrive ", F(m_bBootDrive));
}
