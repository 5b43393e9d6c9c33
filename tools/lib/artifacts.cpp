// Writers of Windows artifacts live in this library (hive files, event logs).
