#!/usr/bin/env python3
"""Writes a realistic machine file of a chosen size for the simulated platform.

    tools/gen-machine.py --devices 1000 --seed 1 > machine.json

The machine is a desktop grown to the requested number of device nodes: PCI
host controllers with USB root hubs and external hubs, HID receivers, webcams
(imaging and audio functions), printers, scanners, smart card readers,
Bluetooth radios, USB serial adapters, phones with portable-device functions,
ACPI COM ports and audio functions, and storage -- USB sticks behind hubs, SD
cards, optical drives and fixed disks -- for about 5% of the devices.  Every
USB device sits on a hub port whose driver key names it, every disk and
CD-ROM interface opens an object that answers the storage requests, the first
fixed disk is the system disk (C:) and the next storage volumes get drive
letters.  A share of the devices carries the monitoring component's hooked
interface class.  The same --devices and --seed always give the same file.
"""
import argparse
import json
import random
import sys

HOOKED = "{E768C1E7-986A-404D-BBF3-748B5DCE914A}"
ITF_USB_DEVICE = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}"
ITF_USB_HUB = "{F18A0E88-C30C-11D0-8815-00A0C906BED8}"
ITF_DISK = "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"
ITF_CDROM = "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}"
ITF_CAMERA = "{6994AD05-93EF-11D0-A3CC-00A0C9223196}"
ITF_VIDEO = "{65E8773D-8F56-11D0-A3B9-00A0C9223196}"
SD_PROTOCOL = "{AD7536A8-D055-4C40-AA4D-96312DDB6B38}"

CLS = {
    "system": "{4d36e97d-e325-11ce-bfc1-08002be10318}",
    "usb": "{36fc9e60-c465-11cf-8056-444553540000}",
    "hid": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}",
    "image": "{6bdd1fc6-810f-11d0-bec7-08002be2092f}",
    "media": "{4d36e96c-e325-11ce-bfc1-08002be10318}",
    "wpd": "{eec5ad98-8080-425f-922a-dabf3de3f69a}",
    "smartcard": "{50dd5230-ba8a-11d1-bf5d-0000f805f530}",
    "bluetooth": "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}",
    "ports": "{4d36e978-e325-11ce-bfc1-08002be10318}",
    "printer": "{4d36e979-e325-11ce-bfc1-08002be10318}",
    "disk": "{4d36e967-e325-11ce-bfc1-08002be10318}",
    "cdrom": "{4d36e965-e325-11ce-bfc1-08002be10318}",
    "scsi": "{4d36e97b-e325-11ce-bfc1-08002be10318}",
    "sdhost": "{a0a588a4-c46f-4b37-b7ea-c82fe89870c6}",
    "hdc": "{4d36e96a-e325-11ce-bfc1-08002be10318}",
}

STARTED = ["DN_STARTED", "DN_DRIVER_LOADED", "DN_NT_ENUMERATOR", "DN_NT_DRIVER", "DN_DISABLEABLE"]
REMOVABLE = STARTED + ["DN_REMOVABLE"]

ROOT_HUB_PORTS = 15
EXTERNAL_HUB_PORTS = 7


def interface_path(device_id, guid):
    return "\\\\?\\" + device_id.lower().replace("\\", "#") + "#" + guid.lower()


class Generator:
    def __init__(self, devices, seed):
        self.target = devices
        self.rng = random.Random(seed)
        self.devices = []
        self.objects = []
        self.dos = {}
        self.volumes = {}
        self.driver_counters = {}
        self.hubs = []  # [device id, hub object, ports used, port limit, depth]
        self.host_controllers = 0
        self.pdo = 0
        self.disks = 0
        self.cdroms = 0
        self.volume_number = 2
        self.letters = [chr(c) + ":" for c in range(ord("D"), ord("Z") + 1)]
        self.storage = 0
        self.serial = 0

    # ---- helpers ---------------------------------------------------------

    def hex(self, digits):
        return "".join(self.rng.choice("0123456789ABCDEF") for _ in range(digits))

    def instance(self, prefix):
        self.serial += 1
        return "%s&%X&0&%d" % (prefix, self.rng.getrandbits(28) | 0x1000000, self.serial)

    def driver_key(self, cls):
        n = self.driver_counters.get(cls, 0)
        self.driver_counters[cls] = n + 1
        return "%s\\%04d" % (CLS[cls], n)

    def hooked(self, share=0.35):
        return self.rng.random() < share

    def add(self, device_id, parent, cls, props, status=None, interfaces=(), hook=False, hook_object=None):
        if cls is not None:
            props.setdefault("Driver", self.driver_key(cls))
        d = {"id": device_id}
        if parent is not None:
            d["parent"] = parent
        if cls is not None:
            d["class"] = CLS[cls]
        d["status"] = list(status or STARTED)
        if self.rng.random() < 0.01 and cls not in (None, "system", "disk", "cdrom"):
            d["status"].append("DN_HAS_PROBLEM")
            d["problem"] = 28
        d["properties"] = props
        itfs = [dict(i) for i in interfaces]
        if hook:
            h = {"class": HOOKED, "path": interface_path(device_id, HOOKED)}
            if hook_object is not None:
                h["object"] = hook_object
            itfs.append(h)
        if itfs:
            d["interfaces"] = itfs
        self.devices.append(d)
        return d

    def room(self):
        return self.target - len(self.devices)

    # ---- USB topology ----------------------------------------------------

    def new_host_controller(self):
        self.host_controllers += 1
        n = self.host_controllers
        pci = "PCI\\VEN_8086&DEV_A0ED&SUBSYS_0A1F1028&REV_%02X\\3&11583659&0&%02X" % (n, 0xA0 + n % 0x50)
        self.add(pci, self.pci_root, "usb", {
            "DeviceDesc": "Intel(R) USB 3.10 eXtensible Host Controller - 1.20 (Microsoft)",
            "Mfg": "Generic USB xHCI Host Controller",
            "HardwareIDs": [pci.split("\\")[1], "PCI\\VEN_8086&DEV_A0ED"],
            "CompatibleIDs": ["PCI\\VEN_8086&CC_0C0330", "PCI\\CC_0C03"]})
        root = "USB\\ROOT_HUB30\\%s" % self.instance("4")
        self.pdo += 1
        obj = {"name": "\\Device\\USBPDO-%d" % self.pdo, "hub": {"ex_query": True, "port_count": ROOT_HUB_PORTS, "ports": []}}
        self.objects.append(obj)
        self.add(root, pci, "usb", {"DeviceDesc": "USB Root Hub (USB 3.0)", "Mfg": "(Standard USB HUBs)",
                                     "HardwareIDs": ["USB\\ROOT_HUB30&VID8086&PIDA0ED", "USB\\ROOT_HUB30"]},
                 interfaces=[{"class": ITF_USB_HUB, "path": interface_path(root, ITF_USB_HUB), "object": obj["name"]}])
        self.hubs.append([root, obj, 0, ROOT_HUB_PORTS, 0])

    def free_hub(self, need_devices):
        for hub in self.hubs:
            if hub[2] < hub[3]:
                return hub
        # Every port is taken: a new external hub on a root hub if one has a
        # port left, else a new host controller (2 devices) and its root hub.
        if self.room() < need_devices + 3:
            return None
        self.new_host_controller()
        return self.hubs[-1]

    def plug(self, vid, pid, strings, cls, props, children=0, interfaces=(), hook=False, is_hub=False, hub_ports=0):
        """Adds a USB device on a free hub port; returns its id, or None when no room."""
        hub = self.free_hub(1 + children)
        if hub is None:
            return None
        hub[2] += 1
        port = hub[2]
        serial = strings.get("3") or self.instance("5")
        device_id = "USB\\VID_%04X&PID_%04X\\%s" % (vid, pid, serial)
        driver = self.driver_key(cls)
        props = dict(props, Driver=driver)
        props.setdefault("HardwareIDs", ["USB\\VID_%04X&PID_%04X&REV_0100" % (vid, pid), "USB\\VID_%04X&PID_%04X" % (vid, pid)])
        itfs = [{"class": ITF_USB_DEVICE, "path": interface_path(device_id, ITF_USB_DEVICE)}] + list(interfaces)
        if is_hub:
            self.pdo += 1
            obj = {"name": "\\Device\\USBPDO-%d" % self.pdo,
                   "hub": {"ex_query": self.rng.random() < 0.7, "port_count": hub_ports, "ports": []}}
            self.objects.append(obj)
            itfs.append({"class": ITF_USB_HUB, "path": interface_path(device_id, ITF_USB_HUB), "object": obj["name"]})
        self.add(device_id, hub[0], cls, props, status=REMOVABLE, interfaces=itfs, hook=hook)
        entry = {"port": port, "speed": self.rng.choice([1, 2, 2, 3]),
                 "descriptor": {"bcdUSB": 528, "idVendor": vid, "idProduct": pid, "bcdDevice": 256,
                                "iManufacturer": 1 if "1" in strings else 0, "iProduct": 2 if "2" in strings else 0,
                                "iSerialNumber": 3 if "3" in strings else 0},
                 "driver_key": driver}
        if is_hub:
            entry["device_is_hub"] = True
            entry["descriptor"]["bDeviceClass"] = 9
        if strings:
            entry["languages"] = [1033]
            entry["strings"] = strings
        hub[1]["hub"]["ports"].append(entry)
        if is_hub:
            self.hubs.append([device_id, obj, 0, hub_ports, hub[4] + 1])
        return device_id

    # ---- device kinds ----------------------------------------------------

    def external_hub(self):
        return self.plug(0x05E3, 0x0610, {"1": "GenesysLogic", "2": "USB2.0 Hub"}, "usb",
                         {"DeviceDesc": "Generic USB Hub", "Mfg": "(Standard USB HUBs)",
                          "CompatibleIDs": ["USB\\Class_09&SubClass_00&Prot_02", "USB\\Class_09"]},
                         is_hub=True, hub_ports=EXTERNAL_HUB_PORTS) is not None

    def hid_receiver(self):
        if self.room() < 2:
            return False
        dev = self.plug(0x046D, 0xC52B, {"1": "Logitech", "2": "USB Receiver"}, "usb",
                        {"DeviceDesc": "USB Composite Device", "Mfg": "(Standard USB Host Controller)",
                         "CompatibleIDs": ["USB\\COMPOSITE", "USB\\Class_00"]}, children=1, hook=self.hooked())
        if dev is None:
            return False
        child = "USB\\VID_046D&PID_C52B&MI_00\\%s" % self.instance("6")
        self.add(child, dev, "hid", {"DeviceDesc": "USB Input Device", "Mfg": "(Standard system devices)",
                                     "CompatibleIDs": ["USB\\Class_03&SubClass_01&Prot_01", "USB\\Class_03"]})
        return True

    def webcam(self):
        if self.room() < 3:
            return False
        serial = "2009%08d" % self.serial
        dev = self.plug(0x04F2, 0xB6D9, {"1": "Chicony Electronics Co.,Ltd.", "2": "HD Webcam", "3": serial}, "usb",
                        {"DeviceDesc": "USB Composite Device", "Mfg": "(Standard USB Host Controller)",
                         "CompatibleIDs": ["USB\\COMPOSITE", "USB\\DevClass_EF"]}, children=2)
        if dev is None:
            return False
        cam = "USB\\VID_04F2&PID_B6D9&MI_00\\%s" % self.instance("6")
        self.add(cam, dev, "image", {"DeviceDesc": "USB Video Device", "FriendlyName": "HD Webcam",
                                     "Mfg": "Microsoft", "HardwareIDs": ["USB\\VID_04F2&PID_B6D9&MI_00"],
                                     "CompatibleIDs": ["USB\\Class_0E&SubClass_03&Prot_00", "USB\\Class_0E"]},
                 status=REMOVABLE,
                 interfaces=[{"class": ITF_CAMERA, "path": interface_path(cam, ITF_CAMERA)},
                             {"class": ITF_VIDEO, "path": interface_path(cam, ITF_VIDEO)}],
                 hook=self.hooked())
        mic = "USB\\VID_04F2&PID_B6D9&MI_02\\%s" % self.instance("6")
        self.add(mic, dev, "media", {"DeviceDesc": "USB Audio Device", "FriendlyName": "Microphone (HD Webcam)",
                                     "Mfg": "(Generic USB Audio)", "HardwareIDs": ["USB\\VID_04F2&PID_B6D9&MI_02"],
                                     "CompatibleIDs": ["USB\\Class_01&SubClass_01&Prot_00", "USB\\Class_01"]},
                 status=REMOVABLE, hook=self.hooked())
        return True

    def printer(self):
        if self.room() < 2:
            return False
        serial = "PHBBM%05d" % self.serial
        dev = self.plug(0x03F0, 0x1E2A, {"1": "HP", "2": "HP LaserJet Pro M404-M405", "3": serial}, "usb",
                        {"DeviceDesc": "USB Printing Support", "Mfg": "Microsoft",
                         "CompatibleIDs": ["USB\\Class_07&SubClass_01&Prot_02", "USB\\Class_07"]},
                        children=1, hook=self.hooked())
        if dev is None:
            return False
        child = "USBPRINT\\HPLASERJET_PRO_M404-M4052D65\\%s" % self.instance("7")
        self.add(child, dev, "printer", {"DeviceDesc": "HP LaserJet Pro M404-M405", "FriendlyName": "HP LaserJet Pro M404-M405",
                                         "Mfg": "HP", "HardwareIDs": ["USBPRINT\\HPLASERJET_PRO_M404-M4052D65"]})
        return True

    def simple_usb(self, vid, pid, strings, cls, desc, compatible):
        return self.plug(vid, pid, strings, cls, {"DeviceDesc": desc, "FriendlyName": desc, "Mfg": strings.get("1", "Generic"),
                                                   "CompatibleIDs": compatible}, hook=self.hooked()) is not None

    def scanner(self):
        return self.simple_usb(0x04A9, 0x1913, {"1": "Canon", "2": "CanoScan"}, "image", "CanoScan LiDE 300",
                               ["USB\\Class_FF&SubClass_FF&Prot_FF", "USB\\Class_FF"])

    def smartcard(self):
        return self.simple_usb(0x058F, 0x9540, {"1": "Generic", "2": "EMV Smartcard Reader"}, "smartcard",
                               "Microsoft Usbccid Smartcard Reader (WUDF)", ["USB\\Class_0B&SubClass_00&Prot_00", "USB\\Class_0B"])

    def bluetooth(self):
        return self.simple_usb(0x8087, 0x0026, {}, "bluetooth", "Intel(R) Wireless Bluetooth(R)",
                               ["USB\\Class_E0&SubClass_01&Prot_01", "USB\\Class_E0"])

    def usb_serial(self):
        return self.simple_usb(0x067B, 0x2303, {"1": "Prolific Technology Inc.", "2": "USB-Serial Controller"}, "ports",
                               "Prolific USB-to-Serial Comm Port", ["USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF"])

    def phone(self):
        if self.room() < 3:
            return False
        serial = "R58M%07X" % self.serial
        dev = self.plug(0x04E8, 0x6860, {"1": "SAMSUNG", "2": "SAMSUNG_Android", "3": serial}, "usb",
                        {"DeviceDesc": "USB Composite Device", "Mfg": "(Standard USB Host Controller)",
                         "CompatibleIDs": ["USB\\COMPOSITE", "USB\\Class_00"]}, children=2)
        if dev is None:
            return False
        mtp = "USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID\\%s" % self.instance("6")
        self.add(mtp, dev, "wpd", {"DeviceDesc": "Galaxy S10", "FriendlyName": "Galaxy S10", "Mfg": "Samsung Electronics Co., Ltd.",
                                   "HardwareIDs": ["USB\\MS_COMP_MTP&SAMSUNG_ANDROID"], "CompatibleIDs": ["USB\\MS_COMP_MTP"]},
                 status=REMOVABLE, hook=self.hooked())
        swd = "SWD\\WPDBUSENUM\\{%s-%s-%s-%s-%s}#%016X" % (self.hex(8), self.hex(4), self.hex(4), self.hex(4), self.hex(12), self.serial)
        self.add(swd, mtp, "wpd", {"DeviceDesc": "Phone", "FriendlyName": "Phone", "Mfg": "Samsung Electronics Co., Ltd.",
                                   "HardwareIDs": ["SWD\\WPDBUSENUM"], "CompatibleIDs": ["WpdFs"]}, hook=self.hooked())
        return True

    def com_port(self):
        n = self.serial = self.serial + 1
        return self.add("ACPI\\PNP0501\\%d" % n, self.pci_root, "ports",
                        {"DeviceDesc": "Communications Port", "FriendlyName": "Communications Port (COM%d)" % (n % 250 + 1),
                         "Mfg": "(Standard port types)", "HardwareIDs": ["ACPI\\PNP0501", "*PNP0501"]},
                        hook=self.hooked()) is not None

    def audio(self):
        return self.add("HDAUDIO\\FUNC_01&VEN_10EC&DEV_0236&SUBSYS_10280A1F&REV_1000\\%s" % self.instance("4"), self.pci_root, "media",
                        {"DeviceDesc": "Realtek(R) Audio", "FriendlyName": "Realtek(R) Audio", "Mfg": "Realtek",
                         "HardwareIDs": ["HDAUDIO\\FUNC_01&VEN_10EC&DEV_0236"], "CompatibleIDs": ["HDAUDIO\\FUNC_01"]},
                        hook=self.hooked(0.2)) is not None

    # ---- storage -----------------------------------------------------------

    def media(self, removable, cylinders):
        return [{"media_type": 11 if removable else 12, "cylinders": cylinders, "tracks_per_cylinder": 255,
                 "sectors_per_track": 63, "bytes_per_sector": 512, "sides": 1}]

    def disk_object(self, descriptor, removable, cylinders, volume=None, extra=None):
        k = self.disks
        self.disks += 1
        name = "\\Device\\Harddisk%d\\DR%d" % (k, k)
        obj = {"name": name, "aliases": ["\\\\.\\PhysicalDrive%d" % k],
               "device_number": {"type": 7, "number": k, "partition": 0},
               "storage_descriptor": descriptor, "media_types": self.media(removable, cylinders),
               "mountdev_name": name}
        obj.update(extra or {})
        self.objects.append(obj)
        if volume is not None and (volume == "C:" or self.letters):
            letter = volume if volume == "C:" else self.letters.pop(0)
            self.volume_number += 1
            vname = "\\Device\\HarddiskVolume%d" % self.volume_number
            self.objects.append({"name": vname, "forward": name, "device_number": {"type": 7, "number": k, "partition": 1},
                                 "mountdev_name": vname})
            self.dos[letter] = vname
            self.volumes[letter] = {"label": descriptor.get("product", "DISK").strip()[:11] or "DISK",
                                    "serial": self.hex(8), "file_system": "NTFS" if not removable else "FAT32"}
        return name

    def storage_device(self, device_id, parent, cls, props, itf_class, obj_name, status):
        hook = self.hooked(0.6)
        self.add(device_id, parent, cls, props, status=status,
                 interfaces=[{"class": itf_class, "path": interface_path(device_id, itf_class), "object": obj_name}],
                 hook=hook, hook_object=obj_name)
        self.storage += 1

    def usb_stick(self):
        if self.room() < 2:
            return False
        serial = "4C53%016X" % (self.rng.getrandbits(60))
        dev = self.plug(0x0781, 0x5581, {"1": "SanDisk", "2": "Ultra", "3": serial}, "usb",
                        {"DeviceDesc": "USB Mass Storage Device", "Mfg": "Compatible USB storage device",
                         "CompatibleIDs": ["USB\\Class_08&SubClass_06&Prot_50", "USB\\Class_08&SubClass_06", "USB\\Class_08"]},
                        children=1)
        if dev is None:
            return False
        obj = self.disk_object({"vendor": "SanDisk ", "product": "Ultra           ", "revision": "1.00", "serial": serial,
                                "bus_type": 7, "removable": True}, True, 3822, volume="removable")
        disk = "USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA&REV_1.00\\%s&0" % serial
        self.storage_device(disk, dev, "disk", {"DeviceDesc": "Disk drive", "FriendlyName": "SanDisk Ultra USB Device",
                                                "Mfg": "(Standard disk drives)",
                                                "HardwareIDs": ["USBSTOR\\DiskSanDisk_Ultra___________1.00", "GenDisk"],
                                                "CompatibleIDs": ["USBSTOR\\Disk", "USBSTOR\\RAW", "GenDisk"]},
                            ITF_DISK, obj, REMOVABLE)
        return True

    def sd_card(self):
        if self.room() < 2:
            return False
        host = "PCI\\VEN_10EC&DEV_522A&SUBSYS_0A1F1028&REV_01\\%s" % self.instance("4")
        self.add(host, self.pci_root, "sdhost", {"DeviceDesc": "Realtek PCIE CardReader", "Mfg": "Realtek",
                                                  "CompatibleIDs": ["PCI\\VEN_10EC&CC_FF00"]})
        cid = "035344534433324780%08X%04X%02X" % (self.rng.getrandbits(32), self.rng.getrandbits(12), self.rng.getrandbits(7) * 2 + 1)
        obj = self.disk_object({"vendor": None, "product": "SD32G", "revision": "8.0", "serial": None, "bus_type": 12,
                                "removable": True}, True, 3871, volume="removable",
                               extra={"sd_protocol": SD_PROTOCOL, "sd_cid": cid})
        card = "SD\\VID_03&OID_5344&PID_SD32G&REV_8.0\\%s" % self.instance("5")
        self.storage_device(card, host, "disk", {"DeviceDesc": "Disk drive", "FriendlyName": "SD Memory Card",
                                                 "Mfg": "(Standard disk drives)", "HardwareIDs": ["SD\\VID_03&OID_5344&PID_SD32G"],
                                                 "CompatibleIDs": ["SD\\Class_Memory", "GenDisk"]},
                            ITF_DISK, obj, REMOVABLE)
        return True

    def optical(self):
        if self.room() < 2:
            return False
        ctl = "PCI\\VEN_8086&DEV_A0D3&SUBSYS_0A1F1028&REV_20\\%s" % self.instance("3")
        self.add(ctl, self.pci_root, "hdc", {"DeviceDesc": "Standard SATA AHCI Controller", "Mfg": "(Standard IDE ATA/ATAPI controllers)",
                                             "CompatibleIDs": ["PCI\\CC_010601"]})
        j = self.cdroms
        self.cdroms += 1
        name = "\\Device\\CdRom%d" % j
        self.objects.append({"name": name, "aliases": ["\\\\.\\CdRom%d" % j],
                             "device_number": {"type": 2, "number": j, "partition": 4294967295},
                             "storage_descriptor": {"vendor": "HL-DT-ST", "product": "DVDRAM GUD0N    ", "revision": "PF02",
                                                    "serial": None, "bus_type": 11, "removable": True, "device_type": 5},
                             "media_types": [{"media_type": 54, "cylinders": 2295104, "tracks_per_cylinder": 1,
                                              "sectors_per_track": 1, "bytes_per_sector": 2048, "sides": 1}],
                             "mountdev_name": name})
        if self.letters:
            letter = self.letters.pop(0)
            self.dos[letter] = name
            self.volumes[letter] = ({"label": "DISC%d" % j, "serial": self.hex(8), "file_system": "UDF"}
                                    if self.rng.random() < 0.5 else {"error": 21})
        drive = "SCSI\\CDROM&VEN_HL-DT-ST&PROD_DVDRAM_GUD0N\\%s" % self.instance("4")
        self.storage_device(drive, ctl, "cdrom", {"DeviceDesc": "CD-ROM Drive", "FriendlyName": "HL-DT-ST DVDRAM GUD0N",
                                                  "Mfg": "(Standard CD-ROM drives)", "HardwareIDs": ["SCSI\\CdRomHL-DT-ST_DVDRAM_GUD0N"],
                                                  "CompatibleIDs": ["SCSI\\CdRom", "SCSI\\RAW"]},
                            ITF_CDROM, name, REMOVABLE)
        return True

    def fixed_disk(self, system=False):
        if self.room() < 2:
            return False
        ctl = "PCI\\VEN_144D&DEV_A80A&SUBSYS_A801144D&REV_00\\%s" % self.instance("4")
        self.add(ctl, self.pci_root, "scsi", {"DeviceDesc": "Standard NVM Express Controller", "Mfg": "Standard NVM Express Controller",
                                              "CompatibleIDs": ["PCI\\CC_010802"]})
        serial = "0025_3884_%04X_%04X." % (self.rng.getrandbits(16), self.rng.getrandbits(16))
        obj = self.disk_object({"vendor": None, "product": "SAMSUNG MZVL2512HCJQ-00B00", "revision": "GXA7401Q",
                                "serial": serial, "bus_type": 17, "removable": False}, False, 62260,
                               volume="C:" if system else ("fixed" if self.rng.random() < 0.5 else None))
        disk = "SCSI\\DISK&VEN_NVME&PROD_SAMSUNG_MZVL2512\\%s" % self.instance("5")
        self.storage_device(disk, ctl, "disk", {"DeviceDesc": "Disk drive", "FriendlyName": "SAMSUNG MZVL2512HCJQ-00B00",
                                                "Mfg": "(Standard disk drives)", "HardwareIDs": ["SCSI\\DiskNVMe____SAMSUNG_MZVL2512"],
                                                "CompatibleIDs": ["SCSI\\Disk", "SCSI\\RAW"]},
                            ITF_DISK, obj, STARTED)
        return True

    # ---- the machine -------------------------------------------------------

    def build(self):
        self.add("HTREE\\ROOT\\0", None, None, {"DeviceDesc": "Computer"},
                 status=["DN_STARTED", "DN_DRIVER_LOADED", "DN_ROOT_ENUMERATED", "DN_NT_ENUMERATOR"])
        self.pci_root = "ACPI\\PNP0A08\\0"
        self.add(self.pci_root, "HTREE\\ROOT\\0", "system", {"DeviceDesc": "PCI Express Root Complex",
                                                              "Mfg": "(Standard system devices)",
                                                              "HardwareIDs": ["ACPI\\PNP0A08", "*PNP0A08"]})
        self.fixed_disk(system=True)
        storage_kinds = [self.usb_stick, self.usb_stick, self.sd_card, self.optical, self.fixed_disk]
        other_kinds = [(self.hid_receiver, 14), (self.webcam, 8), (self.printer, 8), (self.scanner, 5),
                       (self.smartcard, 5), (self.bluetooth, 5), (self.usb_serial, 6), (self.phone, 7),
                       (self.external_hub, 4), (self.com_port, 5), (self.audio, 4)]
        kinds, weights = zip(*other_kinds)
        s = 0
        while self.room() > 0:
            if self.storage < 0.05 * len(self.devices):
                made = storage_kinds[s % len(storage_kinds)]()
                s += 1
            else:
                made = self.rng.choices(kinds, weights)[0]()
            if not made:
                # Too little room for the unit chosen: fill with one-node devices.
                if not (self.com_port() if self.rng.random() < 0.5 else self.audio()):
                    break
        return {
            "description": "Generated machine: %d devices, seed %d" % (len(self.devices), self.seed),
            "windows_directory": "C:\\WINDOWS",
            "environment": {"SystemDrive": "C:", "SystemRoot": "C:\\WINDOWS", "windir": "C:\\WINDOWS"},
            "dos_devices": self.dos,
            "volumes": self.volumes,
            "devices": self.devices,
            "objects": self.objects,
        }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, required=True, help="number of device nodes (at least 4)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--output", "-o", help="file to write (default: standard output)")
    args = parser.parse_args()
    if args.devices < 4:
        parser.error("--devices must be at least 4")
    gen = Generator(args.devices, args.seed)
    gen.seed = args.seed
    machine = gen.build()
    text = json.dumps(machine, indent=1) + "\n"
    if args.output:
        with open(args.output, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
