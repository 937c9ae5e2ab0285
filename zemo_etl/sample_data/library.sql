-- A small library database, dumped the way the pipeline receives it.
/*!40101 SET NAMES utf8mb4 */;
DROP TABLE IF EXISTS `library`;
CREATE TABLE `library` (
  `id` int(11) NOT NULL,
  `title` text DEFAULT NULL,
  `artist` text DEFAULT NULL,
  `call_letters` text DEFAULT NULL,
  `artist_call_number` int(11) DEFAULT NULL,
  `release_call_number` int(11) DEFAULT NULL,
  `genre` text DEFAULT NULL,
  `format` text DEFAULT NULL,
  `alternate_artist_name` text DEFAULT NULL,
  PRIMARY KEY (`id`)
);
LOCK TABLES `library` WRITE;
INSERT INTO `library` VALUES (1,'Abbey Road','The Beatles','BEA',101,1,'Rock','LP',NULL),(2,'Revolver','Beatles, The','BEA',101,2,'Rock','LP',NULL),(3,'Kind of Blue','Miles Davis','DAV',102,1,'Jazz','CD',NULL),(4,'Bitches Brew (Remastered)','Miles Davis','DAV',102,2,'Jazz','LP',NULL),(5,'Café Tacvba','Café Tacvba','CAF',103,1,'Rock en Español','CD',NULL),(6,'Björk Live','Björk','BJO',104,1,'Electronic','CD',NULL),(7,'Homogenic','BjÃ¶rk','BJO',104,2,'Electronic','LP',NULL),(8,'Blue Train','John Coltrane','COL',105,1,'Jazz','LP',NULL),(9,'A Love Supreme','John Coltrane','COL',105,2,'Jazz','CD',NULL);
INSERT INTO `library` VALUES (10,'Now That\'s What I Call Music','Various Artists','VAR',900,1,'Pop','CD',NULL),(11,'Pulp Fiction','Soundtrack','SOU',901,1,'Soundtrack','CD',NULL),(12,'Nevermind','Nirvana','NIR',106,1,'Rock','LP',NULL),(13,'In Utero','Nirvana','NIR',106,2,'Rock','CD',NULL),(14,'Ágætis byrjun','Sigur Rós','SIG',107,1,'Post-Rock','LP',NULL),(15,'Лучшее','Кино','KIN',108,1,'Rock','CD',NULL),(16,'Duets','Ella Fitzgerald & Louis Armstrong','FIT',109,1,'Jazz','LP','Ella and Louis'),(17,'Simon, Garfunkel','Simon / Garfunkel','SIM',110,1,'Folk','LP',NULL),(18,'Hounds of Love','Kate Bush','BUS',111,1,'Art Pop','LP',NULL),(19,'Blue','Joni Mitchell','MIT',112,1,'Folk','LP',NULL),(20,'Random Access Memories','Daft Punk','DAF',113,1,'Electronic','LP',NULL);
INSERT INTO `library` VALUES (21,'The Dark Side of the Moon','Pink Floyd','PIN',114,1,'Rock','LP',NULL),(22,'Wish You Were Here','Pink Floyd','PIN',114,2,'Rock','CD',NULL),(23,'Rumours','Fleetwood Mac','FLE',115,1,'Rock','LP',NULL),(24,'Purple Rain','Prince','PRI',116,1,'Pop','LP',NULL),(25,'OK Computer','Radiohead','RAD',117,1,'Rock','CD',NULL),(26,'Kid A','Radiohead','RAD',117,2,'Rock','LP',NULL),(27,'Blonde on Blonde','Bob Dylan','DYL',118,1,'Folk','LP',NULL),(28,'Highway 61 Revisited','Bob Dylan','DYL',118,2,'Folk','LP',NULL),(29,'Songs in the Key of Life','Stevie Wonder','WON',119,1,'Soul','LP',NULL),(30,'What\'s Going On','Marvin Gaye','GAY',120,1,'Soul','LP',NULL);
UNLOCK TABLES;
DROP TABLE IF EXISTS `library_notes`;
CREATE TABLE `library_notes` (`id` int(11) NOT NULL, `note` text);
INSERT INTO `library_notes` VALUES (1,'INSERT INTO `library` VALUES (99,\'Injected\',\'Nobody\',NULL,NULL,NULL,NULL,NULL,NULL);');
