-- Reference schema of Kelvora: the tables that Kelvora_MYSQL writes, in the
-- schema RURUVURO of the terminal-management system. It is what the
-- importer's tests run against, and the definition to compare a site's
-- tables with, or to create them from on a new server:
--
--   mariadb < /usr/share/kelvora/schema.sql
--
-- The server must compare table and database names without regard to case:
-- set lower_case_table_names=1 in the server's configuration before its data
-- directory is created (mariadb-install-db); the setting cannot be changed
-- for an existing data directory.
--
-- Text columns are VARCHAR sized to the record fields, so a value keeps its
-- trailing blanks exactly as sent. Columns that the server fills (SYSDATE(),
-- NOW(), CURRENT_TIMESTAMP or a date_format of a YYYYMMDDHHMMSS text) are
-- DATETIME. Columns that no statement has to fill are nullable. Tables that
-- the importer finds rows in carry the primary key it finds them by, so a
-- second row with the same key fails with error 1062. Tables that are only
-- ever replaced whole have none. Every table is InnoDB: a run that is not
-- committed must leave nothing behind, and kelvora-check refuses tables
-- without transactions.
--
-- With lower_case_table_names=1, "Ruruvuro", "RuRuvuro" and "RURUVURO" in
-- the statements name this one schema.

CREATE DATABASE IF NOT EXISTS RURUVURO DEFAULT CHARACTER SET latin1;

USE RURUVURO;

-- Terminal assignments (type code 20P).
CREATE TABLE MGSST20P (
  M20Trm VARCHAR(255) NOT NULL,
  M20Sch VARCHAR(2) NOT NULL,
  M20Tg1 VARCHAR(1) NOT NULL,
  M20Zz2 VARCHAR(5) NOT NULL,
  M20Ofv VARCHAR(4) NOT NULL,
  M20Ofb VARCHAR(4) NULL,
  M20Dat DATETIME NULL,
  PRIMARY KEY (M20Trm, M20Sch, M20Tg1, M20Zz2, M20Ofv)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Terminal assignments (type code 35P).
CREATE TABLE MGSST35P (
  M35Trm VARCHAR(255) NOT NULL,
  M35Fir VARCHAR(3) NOT NULL,
  M35Bkl VARCHAR(5) NOT NULL,
  M35Les VARCHAR(2) NOT NULL,
  M35Wle VARCHAR(2) NOT NULL,
  M35Wpl VARCHAR(3) NOT NULL,
  M35Zko VARCHAR(5) NULL,
  M35Zzo VARCHAR(5) NULL,
  M35Bch VARCHAR(1) NULL,
  M35Dat DATETIME NULL,
  PRIMARY KEY (M35Trm, M35Fir, M35Bkl, M35Les, M35Wle, M35Wpl)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Reader table whose ZLSZKO the "*ZKO" records of type 35P set.
CREATE TABLE QVS401ZLS (
  ZLSTRM VARCHAR(255) NOT NULL,
  ZLSLES VARCHAR(2) NOT NULL,
  ZLSZKO VARCHAR(5) NULL,
  PRIMARY KEY (ZLSTRM, ZLSLES)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Terminal assignments (type code 41P).
CREATE TABLE MGSST41P (
  M41Trm VARCHAR(255) NOT NULL,
  M41Fir VARCHAR(3) NOT NULL,
  M41Zpl VARCHAR(3) NOT NULL,
  M41Wnr VARCHAR(2) NOT NULL,
  M41Zzo VARCHAR(5) NOT NULL,
  M41Tnr VARCHAR(1) NOT NULL,
  M41Von VARCHAR(4) NOT NULL,
  M41Bis VARCHAR(4) NULL,
  M41Dat DATETIME NULL,
  PRIMARY KEY (M41Trm, M41Fir, M41Zpl, M41Wnr, M41Zzo, M41Tnr, M41Von)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Holidays (type code FTG), replaced whole.
CREATE TABLE MGSSTFTG (
  FTGTrm VARCHAR(255) NULL,
  FTGLiz VARCHAR(5) NULL,
  FTGMnd VARCHAR(5) NULL,
  FTGJhr VARCHAR(4) NULL,
  FTGDtm VARCHAR(8) NULL,
  FTGTxt VARCHAR(20) NULL,
  FTGKrt VARCHAR(1) NULL,
  FTGDat DATETIME NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Employee status (type code MST), replaced whole.
CREATE TABLE MGSSTMST (
  MSTLiz VARCHAR(5) NULL,
  MSTMnd VARCHAR(5) NULL,
  MSTAsw VARCHAR(13) NULL,
  MSTSts VARCHAR(1) NULL,
  MSTVbi VARCHAR(23) NULL,
  MSTAbe VARCHAR(33) NULL,
  MSTSbe VARCHAR(33) NULL,
  MSTKrt VARCHAR(1) NULL,
  MSTKst VARCHAR(50) NULL,
  MSTVon VARCHAR(8) NULL,
  MSTAbt VARCHAR(30) NULL,
  MSTDat DATETIME NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Employee details (type code MDT), replaced whole.
CREATE TABLE MGSSTMDT (
  MDTLiz VARCHAR(5) NULL,
  MDTMnd VARCHAR(5) NULL,
  MDTAsw VARCHAR(13) NULL,
  MDTDtm VARCHAR(10) NULL,
  MDTAbe VARCHAR(33) NULL,
  MDTSbe VARCHAR(33) NULL,
  MDTSts VARCHAR(1) NULL,
  MDTKrt VARCHAR(1) NULL,
  MDTDat DATETIME NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Function codes (type code FCD), replaced whole.
CREATE TABLE MGSSTFCD (
  FCDLiz VARCHAR(5) NULL,
  FCDMnd VARCHAR(5) NULL,
  FCDNum VARCHAR(3) NULL,
  FCDKrt VARCHAR(1) NULL,
  FCDTxt VARCHAR(50) NULL,
  FCDDat DATETIME NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Client master (type code MND).
CREATE TABLE QVS112QVD (
  QVDLIZ VARCHAR(5) NOT NULL,
  QVDNUM VARCHAR(5) NOT NULL,
  QVDNAM VARCHAR(50) NULL,
  QVDSTA VARCHAR(5) NULL,
  QVDDAT DATETIME NULL,
  QVDERF VARCHAR(50) NULL,
  PRIMARY KEY (QVDLIZ, QVDNUM)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Identity master (type code IDN).
CREATE TABLE QVS301ASW (
  AswNum VARCHAR(50) NOT NULL,
  AswSto VARCHAR(8) NULL,
  AswGvo DATE NOT NULL,
  AswGbi DATE NULL,
  AswPnr VARCHAR(8) NULL,
  AswNam VARCHAR(50) NULL,
  AswSpr VARCHAR(5) NULL,
  AswBkl VARCHAR(5) NOT NULL,
  AswPin VARCHAR(32) NULL,
  AswCod VARCHAR(5) NULL,
  AswGrp VARCHAR(5) NULL,
  AswLiz VARCHAR(5) NULL,
  AswMnd VARCHAR(5) NULL,
  AswAtp VARCHAR(2) NULL,
  AswAan VARCHAR(50) NULL,
  AswMta VARCHAR(2) NULL,
  AswSal VARCHAR(10) NULL,
  AswBk2 VARCHAR(5) NULL,
  AswSta VARCHAR(5) NULL,
  AswDat DATETIME NULL,
  AswErf VARCHAR(50) NULL,
  AswMap VARCHAR(1) NULL,
  AswKst VARCHAR(30) NULL,
  PRIMARY KEY (AswNum, AswGvo, AswBkl)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Identity master: one row per AswSto value.
CREATE TABLE QVS113STO (
  StoNum VARCHAR(8) NOT NULL,
  StoSta CHAR(1) NULL,
  StoErf VARCHAR(50) NULL,
  PRIMARY KEY (StoNum)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Identity master: links AswNum with its AswSto and AswCod.
CREATE TABLE QVS113AWV (
  AwvNum VARCHAR(50) NOT NULL,
  AwvSto VARCHAR(8) NOT NULL,
  AwvCod VARCHAR(5) NOT NULL,
  AwvSta CHAR(1) NULL,
  AwvDat DATETIME NULL,
  AwvErf VARCHAR(50) NULL,
  PRIMARY KEY (AwvNum, AwvSto, AwvCod)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Balances (type code SLD), replaced whole.
CREATE TABLE O2002TSW (
  TswIdn VARCHAR(50) NULL,
  TswSto VARCHAR(8) NULL,
  Tswliz VARCHAR(5) NULL,
  TswMnd VARCHAR(5) NULL,
  TswW01 VARCHAR(8) NULL,
  TswW02 VARCHAR(10) NULL,
  TswW03 VARCHAR(10) NULL,
  TswW04 VARCHAR(10) NULL,
  TswW05 VARCHAR(10) NULL,
  TswW06 VARCHAR(10) NULL,
  TswW07 VARCHAR(10) NULL,
  TswW08 VARCHAR(10) NULL,
  TswW09 VARCHAR(10) NULL,
  TswW10 VARCHAR(10) NULL,
  TswW11 VARCHAR(10) NULL,
  TswW12 VARCHAR(10) NULL,
  TswW13 VARCHAR(10) NULL,
  TswW14 VARCHAR(10) NULL,
  TswW15 VARCHAR(10) NULL,
  TswW16 VARCHAR(10) NULL,
  TswF01 VARCHAR(20) NULL,
  TswF02 VARCHAR(20) NULL,
  TswF03 VARCHAR(20) NULL,
  TswF04 VARCHAR(20) NULL,
  TswF05 VARCHAR(20) NULL,
  TswF06 VARCHAR(20) NULL,
  TswF07 VARCHAR(20) NULL,
  TswF08 VARCHAR(20) NULL,
  TswF09 VARCHAR(20) NULL,
  TswF10 VARCHAR(20) NULL,
  TswAmp VARCHAR(5) NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Cost centres (type code KST), kept in line by mark and sweep on KidSta.
CREATE TABLE QVS120KID (
  KidKst VARCHAR(30) NOT NULL,
  KidMnd VARCHAR(5) NOT NULL,
  KidLiz VARCHAR(5) NOT NULL,
  KidNum VARCHAR(7) NULL,
  KidSys VARCHAR(7) NULL,
  KidTxt VARCHAR(30) NULL,
  KidSta SMALLINT NULL,
  KidErf VARCHAR(50) NULL,
  PRIMARY KEY (KidKst, KidMnd, KidLiz)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Authorization classes (type code BKL), kept in line by mark and sweep on
-- AwbSta. AwbMnd is text: the update compares it as a quoted text, the
-- insert writes it without apostrophes, so the server stores the number's
-- digits ("007" becomes "7"). A numeric column would make the strict server
-- refuse the update of a record with a blank AwbMnd (comparing '' with a
-- number), where the insert's syntax error is what the importer reports.
CREATE TABLE QVS301AWB (
  AwbAws VARCHAR(50) NOT NULL,
  AwbBkl VARCHAR(5) NOT NULL,
  AwbLiz VARCHAR(5) NOT NULL,
  AwbMnd VARCHAR(5) NOT NULL,
  AwbZuv INT NULL,
  AwbSta INT NULL,
  AwbDat DATETIME NULL,
  PRIMARY KEY (AwbAws, AwbBkl, AwbLiz, AwbMnd)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;
